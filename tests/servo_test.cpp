// The servo service on every kernel generation's simulated kernel: the shipped servo
// firmware on PRU core 1's model (loaded as each generation's remoteproc does), its R30
// recorded to the cycle, the requests through the /dev/mem stand-in.
#include "support/capture.h"
#include "support/kernels.h"

#include <hx/servo.h>
#include <sim/firmware.h>
#include <sim/program.h>
#include <sim/sandbox.h>

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t cycles_per_us = 200;

// Widths of channel ch's pulses in the record, in microseconds (a width that is no
// whole number of microseconds shows as -1, which no test expects).
std::vector<long long> widths_us(const std::vector<firmware::r30_change>& record, int ch)
{
    std::vector<long long> out;
    for (const auto& p : firmware::pulses(record, ch))
        out.push_back(p.fall == 0 ? 0 : p.width() % cycles_per_us ? -1 : static_cast<long long>(p.width() / cycles_per_us));
    return out;
}

// Each channel's pulses, once a program that wrote calls requests of us microseconds on
// all eight is done: one a request, exactly its width. A program that cleaned up
// stopped the firmware, which ends a pulse still high and drops the requests still
// waiting in the ring (a model slower than real time, as under a sanitizer, leaves some
// waiting): then one a request taken, the last maybe cut short by the stop.
void expect_one_pulse_a_request(uint32_t calls, long long us, bool cleaned_up)
{
    const auto record = firmware::r30();
    const uint32_t taken = firmware::servo_taken();
    EXPECT_EQ(firmware::servo_written(), calls) << "a call after the end";
    if (!cleaned_up) {
        EXPECT_EQ(taken, calls);
    }
    EXPECT_LE(calls - taken, 16u);
    for (int ch = 1; ch <= 8; ++ch) {
        SCOPED_TRACE("servo " + std::to_string(ch));
        const auto p = firmware::pulses(record, ch);
        ASSERT_EQ(p.size(), taken);
        for (size_t k = 0; k < p.size(); ++k) {
            ASSERT_NE(p[k].fall, 0u) << "still high";
            if (cleaned_up && k + 1 == p.size()) {
                EXPECT_LE(p[k].width(), us * cycles_per_us);
            } else {
                EXPECT_EQ(p[k].width(), us * cycles_per_us) << k;
            }
        }
        if (ch > 1 && !p.empty()) {
            EXPECT_EQ(p.back().fall, firmware::pulses(record, 1).back().fall);
        }
    }
    EXPECT_EQ(firmware::report("r30", 1), "0");
}

class Servo : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        REQUIRE_SIMULATED_KERNEL();
        if (!firmware::built()) GTEST_SKIP() << firmware::not_built();
        sandbox::reset();
        sandbox::boot(GetParam());
    }
    void TearDown() override
    {
        if (sandbox::entered()) stderr_of(hx_servo_cleanup);
    }
    static std::string state_path()
    {
        return sandbox::find_device("/sys/class/remoteproc", "4a338000.pru") + "/state";
    }
};

TEST_P(Servo, EveryCallIsOnePulseOfExactlyItsWidthOnTheChannelsItNames)
{
    ASSERT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_init(), 0); }), "");
    EXPECT_EQ(firmware::state(1), "running");
    EXPECT_EQ(firmware::report("firmware", 1), "am335x-pru1-hx-servo-fw");
    EXPECT_EQ(firmware::state(0), "offline") << "channel 4's core is left alone";
    // An ESC width w is a 1000 + 1000 w microsecond pulse; channel 0 is all eight. The
    // calls after the first name channels still high: their pulses follow.
    ASSERT_EQ(hx_servo_send_esc_pulse_normalized(0, 1.0), 0);
    ASSERT_EQ(hx_servo_send_pulse_us(3, 1250), 0);
    ASSERT_EQ(hx_servo_send_esc_pulse_normalized(8, 0.25), 0);
    ASSERT_EQ(hx_servo_send_pulse_us(1, 1), 0);
    ASSERT_EQ(hx_servo_send_pulse_us(5, 19999), 0);
    ASSERT_TRUE(firmware::servo_settle(5));
    const auto record = firmware::r30();
    const std::vector<std::vector<long long>> want = {
        {}, {2000, 1}, {2000}, {2000, 1250}, {2000}, {2000, 19999}, {2000}, {2000}, {2000, 1250}};
    for (int ch = 1; ch <= 8; ++ch) EXPECT_EQ(widths_us(record, ch), want[static_cast<size_t>(ch)]) << "servo " << ch;
    // The first call's eight rise in one write.
    for (int ch = 2; ch <= 8; ++ch) EXPECT_EQ(firmware::pulses(record, ch)[0].rise, firmware::pulses(record, 1)[0].rise);
    EXPECT_EQ(firmware::foreign_bits(record), 0u);

    EXPECT_EQ(hx_servo_cleanup(), 0);
    EXPECT_EQ(firmware::state(1), "offline");
    EXPECT_EQ(firmware::report("r30", 1), "0");
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
    for (int us : {0, 20000}) {
        EXPECT_EQ(stderr_of([&] { EXPECT_EQ(hx_servo_send_pulse_us(1, us), -1); }),
                  "ERROR in hx_servo_send_pulse_us, pulse must be 1 to 19999 us\n");
    }
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_power_rail(2), -1); }),
              "ERROR in hx_servo_power_rail, on must be 0 or 1\n");
    ASSERT_TRUE(firmware::servo_settle(0));
    EXPECT_TRUE(firmware::r30().empty()) << "no pulse at all";
}

// The stop word ends a pulse at once: a 19999 us pulse is cut short, every output goes
// low before the core halts, and the service starts again.
TEST_P(Servo, CleanupEndsThePulsesAtOnceLeavesEveryOutputLowAndTheServiceStartsAgain)
{
    ASSERT_EQ(hx_servo_init(), 0);
    ASSERT_EQ(hx_servo_send_pulse_us(0, 19999), 0);
    // Real time only as a limit: until the pulses are high.
    for (int waited = 0; firmware::report("r30", 1) == "0" && waited < 10000; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_NE(firmware::report("r30", 1), "0");
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_cleanup(), 0); }), "");
    EXPECT_EQ(firmware::state(1), "offline");
    EXPECT_EQ(firmware::report("r30", 1), "0");
    const auto record = firmware::r30();
    for (int ch = 1; ch <= 8; ++ch) {
        const auto p = firmware::pulses(record, ch);
        ASSERT_EQ(p.size(), 1u);
        EXPECT_NE(p[0].fall, 0u);
        EXPECT_LT(p[0].width(), 19999 * cycles_per_us) << "cut short";
    }
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_send_pulse_us(1, 1500), -1); }),
              "ERROR in hx_servo_send_pulse_us, call hx_servo_init first\n");

    ASSERT_EQ(hx_servo_init(), 0);
    ASSERT_EQ(hx_servo_send_pulse_us(2, 1500), 0);
    ASSERT_TRUE(firmware::servo_settle(1));
    const auto again = firmware::pulses(firmware::r30(), 2);
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[1].width(), 1500 * cycles_per_us);
}

// A core that takes nothing (its clock held): 16 requests wait in the ring, the next is
// refused with a message; once the core runs every waiting request gives its pulse.
TEST_P(Servo, WhileTheFirmwareTakesNothingSixteenRequestsWaitAndTheNextIsRefused)
{
    ASSERT_EQ(hx_servo_init(), 0);
    firmware::hold(1);
    for (int k = 0; k < 16; ++k) ASSERT_EQ(hx_servo_send_pulse_us(7, 100 + k), 0) << k;
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_send_pulse_us(7, 1500), -1); }),
              "ERROR in hx_servo_send_pulse_us, the servo firmware on PRU1 has taken none of the last 16 requests: is "
              "it running?\n");
    firmware::release(1);
    ASSERT_TRUE(firmware::servo_settle(16));
    std::vector<long long> want;
    for (int k = 0; k < 16; ++k) want.push_back(100 + k);
    EXPECT_EQ(widths_us(firmware::r30(), 7), want);
}

// Each image that cannot run as the servo firmware: init says why and leaves core 1
// stopped. One that never answers is waited for 40 looks, as channel 4's is.
TEST_P(Servo, AnImageThatIsMissingRefusedOrSilentFailsInitAndLeavesCoreOneStopped)
{
    const struct {
        const char* image;
        std::string err;
    } cases[] = {
        {"absent", "ERROR in hx_pru_start, the kernel found no firmware am335x-pru1-hx-servo-fw in " +
                       firmware::search_text() + "\nERROR in hx_servo_init, failed to start PRU1\n"},
        {"garbage", "ERROR in hx_pru_start, can't write " + state_path() +
                        ": Invalid argument\nERROR in hx_servo_init, failed to start PRU1\n"},
        {"silent", "ERROR in hx_servo_init, am335x-pru1-hx-servo-fw failed to load\nattempting to stop PRU1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        firmware::install("am335x-pru1-hx-servo-fw", c.image);
        EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_init(), -1); }), c.err);
        EXPECT_EQ(firmware::state(1), "offline");
        EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_send_pulse_us(1, 1500), -1); }),
                  "ERROR in hx_servo_send_pulse_us, call hx_servo_init first\n");
    }
    firmware::install("am335x-pru1-hx-servo-fw", "servo");
    EXPECT_EQ(hx_servo_init(), 0);
}

// However a robot program ends, and while it is stopped, the pulses stop with its calls:
// every request it wrote gives exactly one pulse of its width on all eight channels
// (where it cleaned up: every request the firmware took before the stop), and nothing
// comes after the last (the core runs on 25 ms of its own time, longer than any pulse,
// with R30 low). Each ending starts a board of its own.
TEST_P(Servo, HoweverARobotEndsNoPulseComesAfterItsLastCall)
{
    for (const std::string how : {"cleanup", "exit", "crash", "Ctrl-C", "SIGKILL", "SIGTERM to every process",
                                  "SIGKILL to every process", "SIGSTOP"}) {
        SCOPED_TRACE(how);
        sandbox::reset();
        sandbox::boot(GetParam());
        program::options o;
        o.fake_board = false;
        o.terminal_signals = true;
        o.args = {how == "cleanup" || how == "exit" || how == "crash" ? how : "stay"};
        program::session s = program::start(HX_ROBOT, o);
        ASSERT_TRUE(program::wait_for_output(s, "ready\n", std::chrono::seconds(10))) << s.out << s.errors;
        // A few calls in (real time only as a limit).
        for (int waited = 0; firmware::servo_taken() < 5 && waited < 10000; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (how == "Ctrl-C") program::type(s, "\x03");
        else if (how == "SIGKILL") kill(s.pid, SIGKILL);
        else if (how == "SIGTERM to every process") kill(-s.pid, SIGTERM);  // its session leads its group
        else if (how == "SIGKILL to every process") kill(-s.pid, SIGKILL);
        else if (how == "SIGSTOP") kill(s.pid, SIGSTOP);
        else program::type(s, "end\n");
        if (how == "SIGSTOP") {
            int status = 0;
            ASSERT_EQ(waitpid(s.pid, &status, WUNTRACED), s.pid);  // stopped, not just told
            ASSERT_TRUE(WIFSTOPPED(status));
        } else {
            program::finish(s);
        }
        const uint32_t calls = firmware::servo_written();
        ASSERT_TRUE(firmware::servo_settle(calls)) << "taken " << firmware::servo_taken() << " of " << calls;
        expect_one_pulse_a_request(calls, 1500, how == "cleanup");
        EXPECT_EQ(firmware::state(1), how == "cleanup" ? "offline" : "running");
        if (how == "SIGSTOP") {
            kill(s.pid, SIGKILL);
            kill(s.pid, SIGCONT);
            program::finish(s);
        }
    }
}

INSTANTIATE_ON_EVERY_KERNEL(Servo);

// A device tree without the PRU subsystem: its memory may be unclocked, so nothing is
// mapped; a message says what is missing.
TEST(ServoBareBoard, WithoutPruCoreOneInitFailsBeforeTouchingItsMemory)
{
    REQUIRE_SIMULATED_KERNEL();
    sandbox::reset();
    sandbox::boot("bare");
    sandbox::pru_data_ram(1)[0] = 77;
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_init(), -1); }),
              "ERROR in hx_servo_init, no PRU core 1 (4a338000.pru) in /sys/class/remoteproc: is the PRU node "
              "enabled in the device tree?\n");
    EXPECT_EQ(sandbox::pru_data_ram(1)[0], 77u);
    EXPECT_EQ(hx_servo_cleanup(), 0);
}

}  // namespace
