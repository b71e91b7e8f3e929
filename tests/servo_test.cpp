// The servo service on the PWM class of every kernel generation's simulated kernel:
// strict (up to 6.10: every write must leave a valid state) and lenient (6.11+).
#include "support/capture.h"
#include "support/guardian.h"
#include "support/kernels.h"

#include <hx/servo.h>
#include <sim/program.h>
#include <sim/sandbox.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdlib>
#include <chrono>
#include <ctime>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

// The eight outputs: unit device address and output number.
const std::vector<std::pair<std::string, int>> outputs = {
    {"48300200", 0}, {"48300200", 1}, {"48302200", 0}, {"48302200", 1},
    {"48304200", 0}, {"48304200", 1}, {"48300100", 0}, {"48302100", 0},
};

bool is_dir(const std::string& p)
{
    struct stat st{};
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The pwmchipN directory of a unit, whatever its device suffix.
std::string chip_of(const std::string& unit)
{
    for (const char* suffix : {".pwm", ".ecap"}) {
        const std::string c = sandbox::find_device("/sys/class/pwm", unit + suffix);
        if (!c.empty()) return c;
    }
    return "";
}

// An exported output's directory under either name, or "".
std::string output_dir(const std::string& unit, int k)
{
    const std::string chip = chip_of(unit);
    const std::string plain = chip + "/pwm" + std::to_string(k);
    const std::string dashed = chip + "/pwm-" + chip.substr(chip.rfind("pwmchip") + 7) + ":" + std::to_string(k);
    return is_dir(plain) ? plain : is_dir(dashed) ? dashed : "";
}

// The time and value of the last change the PWM model recorded for an attribute.
std::pair<long long, std::string> last_record(const std::string& unit, int k, const std::string& a)
{
    std::pair<long long, std::string> last{0, ""};
    for (const auto& c : sandbox::pwm_record(unit, k))
        if (c.attr == a) last = {c.t_us, c.value};
    return last;
}

std::string last_recorded(const std::string& unit, int k, const std::string& a)
{
    return last_record(unit, k, a).second;
}

// Every change recorded for an output, "attr value" joined by ", ".
std::string recorded(const std::string& unit, int k)
{
    std::string all;
    for (const auto& c : sandbox::pwm_record(unit, k)) all += (all.empty() ? "" : ", ") + c.attr + " " + c.value;
    return all;
}

long long now_us()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void expect_nothing_exported()
{
    for (const auto& [unit, k] : outputs) EXPECT_EQ(output_dir(unit, k), "") << unit << " " << k;
}

class Servo : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        sandbox::reset();
        sandbox::boot(GetParam());
    }
    void TearDown() override
    {
        if (sandbox::entered()) stderr_of(hx_servo_cleanup);
    }
};

TEST_P(Servo, InitStartsAllEightOutputsAndPulsesSetTheWidth)
{
    ASSERT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_init(), 0); }), "");
    // Read from the model's record, which the service's guardian cannot race.
    for (const auto& [unit, k] : outputs) {
        EXPECT_EQ(recorded(unit, k), "period 20000000, duty_cycle 0, enable 1") << unit << " " << k;
    }
    // An ESC width w is a 1000 + 1000 w microsecond pulse; channel 0 is every channel.
    ASSERT_EQ(hx_servo_send_esc_pulse_normalized(0, 1.0), 0);
    ASSERT_EQ(hx_servo_send_esc_pulse_normalized(3, 0.25), 0);
    ASSERT_EQ(hx_servo_send_pulse_us(8, 1500), 0);
    for (size_t i = 0; i < outputs.size(); ++i) {
        const auto& [unit, k] = outputs[i];
        EXPECT_EQ(last_recorded(unit, k, "duty_cycle"), i == 2 ? "1250000" : i == 7 ? "1500000" : "2000000") << i;
    }

    EXPECT_EQ(hx_servo_cleanup(), 0);
    expect_nothing_exported();
    for (const auto& [unit, k] : outputs) {
        EXPECT_EQ(last_recorded(unit, k, "enable"), "0") << unit << " " << k;
        EXPECT_EQ(last_recorded(unit, k, "duty_cycle"), "0") << unit << " " << k;
    }
}

// A PWM unit repeats its width until told otherwise: the service's guardian stops an
// output that has had no pulse for three periods, and the next pulse starts it again.
TEST_P(Servo, AnOutputWithoutPulsesStopsAfterThreePeriodsAndThePulsesBringItBack)
{
    ASSERT_EQ(hx_servo_init(), 0);
    for (int i = 0; i < 15; ++i) {  // 300 ms of pulses every 20 ms: it runs on
        ASSERT_EQ(hx_servo_send_pulse_us(1, 2000), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(last_recorded("48300200", 0, "enable"), "1");
    const long long last_pulse = now_us();
    ASSERT_EQ(hx_servo_send_pulse_us(1, 2000), 0);
    std::this_thread::sleep_for(std::chrono::microseconds(guardian_stop_bound_us + 50000));
    const auto [stop_t, stop_v] = last_record("48300200", 0, "enable");
    EXPECT_EQ(stop_v, "0");
    // Never before three periods without a pulse (the guardian's rule, timed from before
    // the pulse's own write); within the guardian's bound (support/guardian.h).
    EXPECT_GE(stop_t - last_pulse, 60000);
    EXPECT_LE(stop_t - last_pulse, guardian_stop_bound_us);
    EXPECT_EQ(last_recorded("48300200", 0, "duty_cycle"), "0");

    ASSERT_EQ(hx_servo_send_pulse_us(1, 1200), 0);
    EXPECT_EQ(last_recorded("48300200", 0, "enable"), "1");
    EXPECT_EQ(last_recorded("48300200", 0, "duty_cycle"), "1200000");
}

TEST_P(Servo, AnOutputSomeoneLeftRunningIsTakenOverInAnOrderTheKernelAccepts)
{
    // Output B of eHRPWM0 exported and running at 1 ms with a 0.9 ms pulse; output B of
    // eHRPWM1 left at 20 ms with a 1.5 ms width, disabled.
    const std::string chip = chip_of("48300200");
    sandbox::put(chip + "/export", "1");
    const std::string dir = output_dir("48300200", 1);
    ASSERT_NE(dir, "");
    sandbox::put(dir + "/period", "1000000");
    sandbox::put(dir + "/duty_cycle", "900000");
    sandbox::put(dir + "/enable", "1");
    sandbox::put(chip_of("48302200") + "/export", "1");
    const std::string dir2 = output_dir("48302200", 1);
    sandbox::put(dir2 + "/period", "20000000");
    sandbox::put(dir2 + "/duty_cycle", "1500000");

    ASSERT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_init(), 0); }), "");
    // Another period: stopped and freed, so that the unit forgets it, then set up with
    // the period before the width (4.x kernels set the unit up at each of those writes).
    EXPECT_EQ(recorded("48300200", 1), "period 1000000, duty_cycle 900000, enable 1, "
                                       "enable 0, enable 0, period 20000000, duty_cycle 0, enable 1");
    EXPECT_EQ(recorded("48302200", 1), "period 20000000, duty_cycle 1500000, "
                                       "enable 0, period 20000000, duty_cycle 0, enable 1");
    EXPECT_EQ(hx_servo_cleanup(), 0);
    // Not exported by the service: they stay, stopped.
    EXPECT_EQ(output_dir("48300200", 1), dir);
    EXPECT_EQ(sandbox::get(dir + "/enable"), "0\n");
    EXPECT_EQ(output_dir("48302200", 1), dir2);
}

// Both outputs of an eHRPWM share one period: left running at another one, each refuses
// 20 ms while the other keeps its period, until the service frees them.
TEST_P(Servo, BothOutputsOfAUnitLeftAtAnotherPeriodAreFreedAndTaken)
{
    const std::string chip = chip_of("48302200");
    for (int k : {0, 1}) {
        sandbox::put(chip + "/export", std::to_string(k));
        const std::string dir = output_dir("48302200", k);
        sandbox::put(dir + "/period", "10000000");
        sandbox::put(dir + "/duty_cycle", "5000000");
        sandbox::put(dir + "/enable", "1");
    }
    ASSERT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_init(), 0); }), "");
    for (int k : {0, 1}) {
        EXPECT_EQ(last_recorded("48302200", k, "period"), "20000000") << k;
        EXPECT_EQ(last_recorded("48302200", k, "enable"), "1") << k;
    }
    ASSERT_EQ(hx_servo_send_pulse_us(3, 1100), 0);
    ASSERT_EQ(hx_servo_send_pulse_us(4, 1900), 0);
    EXPECT_EQ(last_recorded("48302200", 0, "duty_cycle"), "1100000");
    EXPECT_EQ(last_recorded("48302200", 1, "duty_cycle"), "1900000");
    EXPECT_EQ(hx_servo_cleanup(), 0);
    for (int k : {0, 1}) EXPECT_NE(output_dir("48302200", k), "") << "left exported, as it was found";
}

// Right after export the attributes are root-only until udev has applied the group's
// rules: the service waits for them (up to 1 s), instead of failing.
TEST_P(Servo, AttributesUdevHasNotOpenedYetAreWaitedFor)
{
    sandbox::steer("udev 60");
    ASSERT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_init(), 0); }), "");
    for (const auto& [unit, k] : outputs)
        EXPECT_EQ(recorded(unit, k), "period 20000000, duty_cycle 0, enable 1") << unit << " " << k;
}

TEST_P(Servo, ABoardWithoutTheECapsStartsTheRest)
{
    sandbox::steer("remove " + chip_of("48300100"));
    sandbox::steer("remove " + chip_of("48302100"));
    ASSERT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_init(), 0); }), "");
    EXPECT_EQ(last_recorded("48304200", 1, "enable"), "1");
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_send_pulse_us(7, 1500), -1); }),
              "ERROR in hx_servo_send_pulse_us, channel 7 has no PWM output on this board\n");
    EXPECT_EQ(hx_servo_send_pulse_us(0, 1500), 0);
    EXPECT_EQ(last_recorded("48300200", 0, "duty_cycle"), "1500000");
}

TEST_P(Servo, AnOutputTheKernelWillNotGiveIsSkippedAfterItsMessage)
{
    // The third eHRPWM's outputs are held by a kernel driver: export answers EBUSY.
    const std::string chip = chip_of("48304200");
    sandbox::steer("fail " + chip + "/export write " + std::to_string(EBUSY));
    const std::string busy = "ERROR in hx_servo_init, can't write " + chip + "/export: Device or resource busy\n";
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_init(), 0); }), busy + busy);
    for (int ch : {5, 6}) {
        EXPECT_EQ(stderr_of([ch] { EXPECT_EQ(hx_servo_send_pulse_us(ch, 1500), -1); }),
                  "ERROR in hx_servo_send_pulse_us, channel " + std::to_string(ch) +
                      " has no PWM output on this board\n");
    }
    EXPECT_EQ(hx_servo_send_pulse_us(0, 1600), 0);
    for (int ch : {1, 2, 3, 4, 7, 8}) {
        const auto& [unit, k] = outputs[static_cast<size_t>(ch - 1)];
        EXPECT_EQ(last_recorded(unit, k, "duty_cycle"), "1600000") << ch;
    }
    EXPECT_EQ(recorded("48304200", 0), "");
}

TEST_P(Servo, WhenNoOutputCanBeTakenInitFailsAndLeavesNothing)
{
    // Every unit's outputs are held by kernel drivers.
    for (const char* unit : {"48300200", "48302200", "48304200", "48300100", "48302100"})
        sandbox::steer("fail " + chip_of(unit) + "/export write " + std::to_string(EBUSY));
    std::string err = stderr_of([] { EXPECT_EQ(hx_servo_init(), -1); });
    EXPECT_EQ(err.substr(err.rfind("ERROR")), "ERROR in hx_servo_init, none of the board's PWM outputs could be started\n");
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 9);
    expect_nothing_exported();
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_send_pulse_us(1, 1500), -1); }),
              "ERROR in hx_servo_send_pulse_us, call hx_servo_init first\n");
}

TEST_P(Servo, OutOfRangeWidthsChannelsAndCallsBeforeInitAreRefused)
{
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_send_esc_pulse_normalized(1, 0.5), -1); }),
              "ERROR in hx_servo_send_pulse_us, call hx_servo_init first\n");
    ASSERT_EQ(hx_servo_init(), 0);
    for (double w : {-0.01, 1.01, 0.0 / 0.0}) {
        EXPECT_EQ(stderr_of([&] { EXPECT_EQ(hx_servo_send_esc_pulse_normalized(1, w), -1); }),
                  "ERROR in hx_servo_send_esc_pulse_normalized, width must be 0.0 to 1.0\n");
    }
    for (int ch : {-1, 9}) {
        EXPECT_EQ(stderr_of([&] { EXPECT_EQ(hx_servo_send_pulse_us(ch, 1500), -1); }),
                  "ERROR in hx_servo_send_pulse_us, channel must be 0 (all) to 8\n");
    }
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_send_pulse_us(1, 20000), -1); }),
              "ERROR in hx_servo_send_pulse_us, pulse must be 1 to 19999 us\n");
    EXPECT_EQ(last_recorded("48300200", 0, "duty_cycle"), "0");
}

TEST_P(Servo, AUnitThatVanishesFailsItsPulsesAndTheOthersGoOn)
{
    ASSERT_EQ(hx_servo_init(), 0);
    const std::string chip = chip_of("48302200");
    const std::string a = output_dir("48302200", 0), b = output_dir("48302200", 1);
    // The unit's device goes (a driver unbound, a module removed).
    char device[512];
    ASSERT_NE(realpath((chip + "/device").c_str(), device), nullptr);
    sandbox::steer(std::string("unplug ") + device);
    const std::string err = stderr_of([] { EXPECT_EQ(hx_servo_send_pulse_us(0, 1700), -1); });
    EXPECT_EQ(err, "ERROR in hx_servo_send_pulse_us, can't write " + a + "/duty_cycle: No such file or directory\n"
                   "ERROR in hx_servo_send_pulse_us, can't write " + b + "/duty_cycle: No such file or directory\n");
    EXPECT_EQ(last_recorded("48300200", 0, "duty_cycle"), "1700000");
    EXPECT_EQ(last_recorded("48304200", 1, "duty_cycle"), "1700000");
    // The lost unit cannot be stopped; the others are.
    EXPECT_NE(stderr_of([] { EXPECT_EQ(hx_servo_cleanup(), -1); }), "");
    EXPECT_EQ(last_recorded("48300200", 0, "enable"), "0");
    EXPECT_EQ(last_recorded("48304200", 1, "enable"), "0");
}


// The guardian killed on its own (kill -9): the next pulse notices, stops every output
// itself, says so once, and refuses pulses until the service is started again.
TEST_P(Servo, ADeadGuardianIsNoticedAtTheNextPulseWhichStopsEveryOutput)
{
    ASSERT_EQ(hx_servo_init(), 0);
    ASSERT_EQ(hx_servo_send_pulse_us(0, 1800), 0);
    const pid_t g = guardian::of_this_process();
    ASSERT_GT(g, 0);
    ASSERT_EQ(kill(g, SIGKILL), 0);
    // Bounded by the test's own time-out: a killed process ends.
    while (!guardian::ended(g)) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_send_pulse_us(0, 1800), -1); }),
              "ERROR in hx_servo_send_pulse_us, the output guardian has ended: every output is stopped "
              "and pulses are refused until hx_servo_cleanup and hx_servo_init\n");
    for (const auto& [unit, k] : outputs) {
        EXPECT_EQ(last_recorded(unit, k, "duty_cycle"), "0") << unit << " " << k;
        EXPECT_EQ(last_recorded(unit, k, "enable"), "0") << unit << " " << k;
    }
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_send_pulse_us(1, 1800), -1); }), "") << "said once";
    EXPECT_EQ(hx_servo_cleanup(), 0);
    expect_nothing_exported();
    ASSERT_EQ(hx_servo_init(), 0);
    EXPECT_EQ(hx_servo_send_pulse_us(1, 1200), 0);
    EXPECT_EQ(last_recorded("48300200", 0, "duty_cycle"), "1200000");
}

// Kernels before 5.9 have no close_range (ENOSYS): the guardian must still hold nothing
// of the program's but its two pipe ends, so that a GPIO line or a bus it inherited is
// freed when the program frees it. The old kernel is played by a seccomp filter.
TEST_P(Servo, TheGuardianHoldsNothingOfTheProgramsOnKernelsWithoutCloseRange)
{
#ifndef SYS_close_range
    GTEST_SKIP() << "no close_range in this C library's headers";
#else
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a failed test
        setsid();  // the guardian is then found by its session
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog prog{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
        char answer = 'n';  // no seccomp here (qemu-arm has none)
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0 &&
            syscall(SYS_close_range, 1000, 1000, 0) == -1 && errno == ENOSYS) {
            dup2(ready[1], 77);  // a descriptor of the program's, like a GPIO line
            answer = hx_servo_init() == 0 ? 'y' : 'f';
        }
        if (write(ready[1], &answer, 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char answer = 0;
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    close(ready[0]);
    if (answer == 'n') {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        GTEST_SKIP() << "seccomp filters are not available here";
    }
    EXPECT_EQ(answer, 'y');
    const pid_t g = guardian::of_program(child);
    std::vector<int> held;
    for (const auto& [fd, target] : guardian::descriptors(g)) held.push_back(fd);
    std::sort(held.begin(), held.end());
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_GT(g, 0);
    EXPECT_EQ(held, (std::vector<int>{0, 1, 2, 3, 4}));
    while (!guardian::ended(g)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    expect_nothing_exported();
#endif
}

// However a robot program ends, whatever it forked, every output is zeroed and disabled
// within the guardian's bound, and what the service exported is released. The program
// forks a worker (no exec) that outlives it by far.
TEST_P(Servo, HoweverARobotThatForksEndsEveryOutputStops)
{
    for (const std::string how : {"exit", "crash", "SIGKILL", "SIGINT", "SIGTERM to every process"}) {
        SCOPED_TRACE(how);
        sandbox::reset();
        sandbox::boot(GetParam());
        program::options o;
        o.fake_board = false;
        // The worker outlives the program by far, and ends by itself: a kill by session
        // after the program is gone could meet a new session under a reused number.
        o.args = {"5000", how == "exit" || how == "crash" ? how : "stay"};
        program::session s = program::start(HX_ROBOT, o);
        ASSERT_TRUE(program::wait_for_output(s, "ready\n", std::chrono::seconds(10))) << s.out << s.errors;
        const std::vector<pid_t> everyone = guardian::of_session(s.pid);
        ASSERT_GE(everyone.size(), 3u) << "the program, its worker and the guardian";
        const long long told = now_us();
        if (how == "SIGKILL" || how == "SIGINT") {
            kill(s.pid, how == "SIGKILL" ? SIGKILL : SIGINT);
        } else if (how == "SIGTERM to every process") {
            for (pid_t p : everyone) kill(p, SIGTERM);  // as a service manager stops a unit
        } else {
            program::type(s, "end\n");
        }
        program::finish(s);
        const long long gone = now_us();
        // The worker lives on (5 s) unless signalled: the stop must not wait for it.
        std::this_thread::sleep_for(std::chrono::microseconds(guardian_stop_bound_us + 200000));
        long long last = 0;
        for (const auto& [unit, k] : outputs) {
            const auto [t_enable, v_enable] = last_record(unit, k, "enable");
            const auto [t_duty, v_duty] = last_record(unit, k, "duty_cycle");
            EXPECT_EQ(v_enable, "0") << unit << " " << k;
            EXPECT_EQ(v_duty, "0") << unit << " " << k;
            last = std::max({last, t_enable, t_duty});
        }
        // The bound runs from the program's end as the test sees it (its exit status
        // collected): a killed program still needs a CPU to finish dying, which on a
        // loaded machine no library can hurry (see support/guardian.h).
        EXPECT_LE(last - gone, guardian_stop_bound_us);
        std::printf("guardian stop after %s: %lld us after it was told, %lld us after it was gone\n", how.c_str(),
                    last - told, last - gone);
        expect_nothing_exported();
    }
}

// A cleanup that takes long, because a driver holds its lock (the first output's second
// attribute write is slowed), far past the guardian's three periods. Left to end, the
// program alone writes: no stop of the guardian's lands on an output the program is
// stopping or has stopped. Killed in the middle, the guardian still watches until every
// output is stopped, so none is left at its last width.
TEST_P(Servo, ASlowCleanupIsTheProgramsAloneAndKilledInTheMiddleLeavesNothingRunning)
{
    constexpr int slow_ms = 300;
    for (const bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "killed" : "ends");
        sandbox::reset();
        sandbox::boot(GetParam());
        program::options o;
        o.fake_board = false;
        o.args = {"0", "cleanup"};
        program::session s = program::start(HX_ROBOT, o);
        ASSERT_TRUE(program::wait_for_output(s, "ready\n", std::chrono::seconds(10))) << s.out << s.errors;
        sandbox::steer("slow " + output_dir("48300200", 0) + "/enable " + std::to_string(slow_ms));
        program::type(s, "end\n");
        ASSERT_TRUE(program::wait_for_output(s, "cleaning up\n", std::chrono::seconds(10))) << s.out;
        if (killed) {
            // Not a bound: only the point within the slow write at which the kill comes.
            std::this_thread::sleep_for(std::chrono::milliseconds(slow_ms / 3));
            kill(s.pid, SIGKILL);
            program::finish(s);
            // The guardian's writes wait behind the slow one too.
            std::this_thread::sleep_for(std::chrono::microseconds(slow_ms * 1000 + guardian_stop_bound_us + 100000));
        } else {
            EXPECT_EQ(program::finish(s), 0) << s.out << s.errors;
            // The guardian learns of the program's end when its pipe closes: any write of
            // its own would have come within its bound.
            std::this_thread::sleep_for(std::chrono::microseconds(guardian_stop_bound_us));
            const auto& record = sandbox::pwm_record();
            EXPECT_EQ(std::count_if(record.begin(), record.end(),
                                    [](const sandbox::pwm_change& c) { return c.writer == guardian::name; }),
                      0)
                << "the guardian wrote during the program's own cleanup";
        }
        for (const auto& [unit, k] : outputs) {
            EXPECT_EQ(last_recorded(unit, k, "enable"), "0") << unit << " " << k;
            EXPECT_EQ(last_recorded(unit, k, "duty_cycle"), "0") << unit << " " << k;
        }
        expect_nothing_exported();
    }
}

// A robot that forks a worker and reaps its children: its cleanup does not wait for the
// worker, and wait(NULL) never waits for the guardian.
TEST_P(Servo, AForkedWorkerDelaysNeitherCleanupNorTheProgramsOwnWait)
{
    // cleanup's bound: eight outputs' writes, no process to wait for; 200 ms at real speed.
    constexpr long long cleanup_bound_us = 2 * guardian_stop_bound_us;
    for (const std::string how : {"cleanup", "wait"}) {
        SCOPED_TRACE(how);
        sandbox::reset();
        sandbox::boot(GetParam());
        program::options o;
        o.fake_board = false;
        o.args = {how == "wait" ? "300" : "5000", how};
        program::session s = program::start(HX_ROBOT, o);
        ASSERT_TRUE(program::wait_for_output(s, "ready\n", std::chrono::seconds(10))) << s.out << s.errors;
        program::type(s, "end\n");
        EXPECT_EQ(program::finish(s), 0) << s.out << s.errors;
        if (how == "wait") {
            EXPECT_NE(s.out.find("reaped 1 (No child processes)\n"), std::string::npos) << s.out;
        }
        const auto at = s.out.find("cleanup took ");
        ASSERT_NE(at, std::string::npos) << s.out;
        EXPECT_LE(std::atoll(s.out.c_str() + at + 13), cleanup_bound_us) << s.out;
        for (const auto& [unit, k] : outputs) EXPECT_EQ(last_recorded(unit, k, "enable"), "0") << unit << " " << k;
        expect_nothing_exported();
    }
}

INSTANTIATE_ON_EVERY_KERNEL(Servo);

TEST(ServoBareBoard, WithNoPwmUnitInitFailsAndLeavesNothing)
{
    REQUIRE_SANDBOX();
    sandbox::reset();
    sandbox::boot("bare");
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_init(), -1); }),
              "ERROR in hx_servo_init, no PWM unit of the board in /sys/class/pwm: is the PWM overlay loaded?\n");
    EXPECT_TRUE(sandbox::pwm_record().empty());
}

}  // namespace
