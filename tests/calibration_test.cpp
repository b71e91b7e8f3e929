// hx_throttle_cal at the terminal: on the fake board (the prompts, the pulse train and
// its switch from maximum to minimum width, the failures), and on the simulated
// kernel's PWM outputs of every kernel generation.
#include "support/guardian.h"
#include "support/kernels.h"

#include <sim/program.h>
#include <sim/sandbox.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <unistd.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using program::options;
using program::session;

const std::string prompt1 =
    "\nDISCONNECT PROPELLERS FROM MOTORS\n"
    "DISCONNECT POWER FROM ESCS\n"
    "press enter to start sending max pulse width\n";
const std::string prompt2 =
    "\n"
    "Now apply power to the ESCs.\n"
    "Press enter again after the ESCs finish chirping\n";
const std::string prompt3 =
    "\n"
    "Sending minimum width pulses\n"
    "Press enter again after the ESCs chirp to finish calibration\n";
const std::string done = "\nCalibration complete, check with hx_throttle_check\n";

long long now_us()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

struct pulse {
    long long t_us;
    std::string width;
};

std::vector<pulse> pulses(const session& s)
{
    std::vector<pulse> out;
    for (const auto& c : program::calls(s)) {
        if (c.name != "hx_servo_send_esc_pulse_normalized") continue;
        EXPECT_EQ(c.args.substr(0, 2), "0 ") << "every pulse goes to channel 0";
        out.push_back({c.t_us, c.args.substr(2)});
    }
    return out;
}

options with_script(std::string script)
{
    options o;
    o.script = std::move(script);
    return o;
}

TEST(Calibration, EndOfInputAnswersEveryPromptAndTheRunEndsCleanly)
{
    session s;
    EXPECT_EQ(program::run("hx_throttle_cal", options{}, &s), 0);
    EXPECT_EQ(s.out, prompt1 + prompt2 + prompt3 + done);
    EXPECT_EQ(s.errors, "");
    const auto lines = program::call_lines(s);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "hx_servo_init");
    EXPECT_EQ(lines[1], "hx_pthread_create null 0 0");
    // The pulse thread runs alongside: its calls may come anywhere before the join ends.
    const auto join = std::find(lines.begin(), lines.end(), "hx_pthread_timed_join null 1");
    ASSERT_NE(join, lines.end());
    EXPECT_NE(std::find(join, lines.end(), "joined done"), lines.end());
    EXPECT_EQ(lines.back(), "hx_servo_cleanup");
    EXPECT_EQ(*(lines.end() - 2), "joined done");
}

// Waits for count pulses of the given width in the fake board's record (the time is only
// a limit: a loaded machine may take longer to send them).
bool wait_for_pulses(const session& s, const std::string& width, int count)
{
    for (int waited = 0; waited < 20000; waited += 10) {
        const auto p = pulses(s);
        if (std::count_if(p.begin(), p.end(), [&](const pulse& x) { return x.width == width; }) >= count) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

TEST(Calibration, PulsesFollowThePersonsEnters)
{
    session s = program::start("hx_throttle_cal", options{});
    ASSERT_TRUE(program::wait_for_output(s, prompt1, 5s)) << s.out;
    std::this_thread::sleep_for(100ms);
    const long long t1 = now_us();
    program::type(s, "\n");
    ASSERT_TRUE(program::wait_for_output(s, prompt1 + prompt2, 5s)) << s.out;
    ASSERT_TRUE(wait_for_pulses(s, "1", 15));
    const long long t2 = now_us();
    program::type(s, "\n");
    ASSERT_TRUE(program::wait_for_output(s, prompt1 + prompt2 + prompt3, 5s)) << s.out;
    ASSERT_TRUE(wait_for_pulses(s, "0", 10));
    program::type(s, "\n");
    EXPECT_EQ(program::finish(s), 0);
    EXPECT_EQ(s.out, prompt1 + prompt2 + prompt3 + done);

    // What must hold whatever the scheduler did: no pulse before the first Enter, no
    // minimum before the second (both causal), and pulses at least 20 ms apart (the
    // program sleeps 20 ms between them; the fake board's sleep never returns early).
    const auto p = pulses(s);
    for (size_t i = 0; i < p.size(); ++i) {
        EXPECT_GT(p[i].t_us, t1) << "no pulse before the first Enter";
        if (p[i].width != "1") {
            EXPECT_EQ(p[i].width, "0") << i;
            EXPECT_GT(p[i].t_us, t2) << "a minimum-width pulse before the second Enter";
        }
        if (i > 0) {
            EXPECT_GE(p[i].t_us - p[i - 1].t_us, 20000) << "pulses at most every 20 ms";
        }
    }
    // Maximum first, then minimum, never back.
    const auto first_min = std::find_if(p.begin(), p.end(), [](const pulse& x) { return x.width == "0"; });
    EXPECT_GE(first_min - p.begin(), 15);
    EXPECT_TRUE(std::all_of(first_min, p.end(), [](const pulse& x) { return x.width == "0"; }));

    // After the join, nothing more is sent, and the outputs are stopped last.
    const auto c = program::calls(s);
    long long joined = 0;
    for (const auto& x : c)
        if (x.name == "joined") joined = x.t_us;
    ASSERT_NE(joined, 0);
    EXPECT_TRUE(p.empty() || p.back().t_us < joined);
    EXPECT_EQ(c.back().name, "hx_servo_cleanup");
}

TEST(Calibration, TheWidthDropsOnlyOnceBothLinesOfThePromptAreOut)
{
    // The first of the two lines takes 60 ms (three pulse periods) to appear: a program
    // that switched before printing would send minimum pulses in that time.
    session s = program::start("hx_throttle_cal", with_script("slow_print 60 Sending minimum width pulses\n"));
    ASSERT_TRUE(program::wait_for_output(s, prompt1, 5s)) << s.out;
    program::type(s, "\n");
    ASSERT_TRUE(program::wait_for_output(s, prompt2, 5s)) << s.out;
    ASSERT_TRUE(wait_for_pulses(s, "1", 5));  // the train runs
    program::type(s, "\n");
    ASSERT_TRUE(program::wait_for_output(s, prompt3, 5s)) << s.out;
    std::this_thread::sleep_for(100ms);
    program::type(s, "\n");
    EXPECT_EQ(program::finish(s), 0);
    const auto lines = program::call_lines(s);
    const auto printed = std::find(lines.begin(), lines.end(),
                                   "puts Press enter again after the ESCs chirp to finish calibration");
    if (printed == lines.end()) GTEST_SKIP() << "puts is intercepted before the fake board (a sanitizer's runtime)";
    const auto first_min = std::find(lines.begin(), lines.end(), "hx_servo_send_esc_pulse_normalized 0 0");
    ASSERT_NE(first_min, lines.end());
    EXPECT_GT(first_min - lines.begin(), printed - lines.begin()) << "minimum width before the prompt was out";
}

TEST(Calibration, TwoLettersAndEnterAnswerAllThreePrompts)
{
    session s = program::start("hx_throttle_cal", options{});
    ASSERT_TRUE(program::wait_for_output(s, prompt1, 5s)) << s.out;
    program::type(s, "ab\n");
    EXPECT_EQ(program::finish(s), 0);
    EXPECT_EQ(s.out, prompt1 + prompt2 + prompt3 + done);
}

TEST(Calibration, FailedStartsEndWithStatus255AndNoMessageOfItsOwn)
{
    session s;
    EXPECT_EQ(program::run("hx_throttle_cal", with_script("servo_init -1\n"), &s), 255);
    EXPECT_EQ(s.out, "");
    EXPECT_EQ(s.errors, "");
    EXPECT_EQ(program::call_lines(s), std::vector<std::string>{"hx_servo_init"});

    EXPECT_EQ(program::run("hx_throttle_cal", with_script("pthread_create -1\n"), &s), 255);
    EXPECT_EQ(s.out, prompt1);
    EXPECT_EQ(s.errors, "");
    EXPECT_EQ(program::call_lines(s),
              (std::vector<std::string>{"hx_servo_init", "hx_pthread_create null 0 0"}));
}

class CalibrationOnTheKernel : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        sandbox::reset();
        sandbox::boot(GetParam());
    }
};

const std::string guard_name = guardian::name;

// The PWM model's record of channel 1 (eHRPWM0, output A). A pulse on channel 0 writes
// channel 1 first, then the seven others: a change of channel 1 whose previous change by
// the program was also on channel 1 belongs to the same pulse (same_pulse).
struct change : sandbox::pwm_change {
    bool same_pulse = false;
};
std::vector<change> channel_one()
{
    std::vector<change> out;
    bool last_on_one = false;
    for (const auto& c : sandbox::pwm_record()) {
        const bool on_one = c.device == "48300200.pwm" && c.output == 0;
        if (on_one) out.push_back({c, last_on_one});
        if (c.writer != guard_name) last_on_one = on_one;
    }
    return out;
}

// Waits until channel 1 has had count pulses of width ns, counted as the test below
// counts them (the time is only a limit).
bool wait_for_widths(const std::string& ns, int count)
{
    for (int waited = 0; waited < 20000; waited += 10) {
        const auto r = channel_one();
        if (std::count_if(r.begin(), r.end(), [&](const change& c) {
                return c.attr == "duty_cycle" && c.value == ns && c.writer != guard_name && !c.same_pulse;
            }) >= count)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

TEST_P(CalibrationOnTheKernel, ThePwmOutputsCarryFullThenMinimumThrottleAt20ms)
{
    options real;
    real.fake_board = false;
    session s = program::start("hx_throttle_cal", real);
    ASSERT_TRUE(program::wait_for_output(s, prompt1, 10s)) << s.out << s.errors;
    program::type(s, "\n");
    ASSERT_TRUE(program::wait_for_output(s, prompt2, 10s)) << s.out;
    ASSERT_TRUE(wait_for_widths("2000000", 10));
    const long long second_enter = now_us();
    program::type(s, "\n");
    ASSERT_TRUE(program::wait_for_output(s, prompt3, 10s)) << s.out;
    ASSERT_TRUE(wait_for_widths("1000000", 10));
    program::type(s, "\n");
    EXPECT_EQ(program::finish(s), 0);
    EXPECT_EQ(s.out, prompt1 + prompt2 + prompt3 + done);
    EXPECT_EQ(s.errors, "");

    // Every line of the record, explained. The program's own writes: init (period, zero
    // width, enable), then its pulses, each a width and, where the guardian had stopped
    // the output meanwhile, enable 1 (and in a rare race the width once more), then
    // cleanup (zero width, disable). The guardian's writes: a zero width and a disable
    // whenever the pulse thread was held up for three periods (a loaded machine), never
    // anything else.
    const auto r = channel_one();
    ASSERT_GE(r.size(), 6u);
    EXPECT_EQ(r[0].attr + " " + r[0].value, "period 20000000");
    EXPECT_EQ(r[1].attr + " " + r[1].value, "duty_cycle 0");
    EXPECT_EQ(r[2].attr + " " + r[2].value, "enable 1");
    EXPECT_EQ(r[r.size() - 2].attr + " " + r[r.size() - 2].value, "duty_cycle 0");
    EXPECT_EQ(r.back().attr + " " + r.back().value, "enable 0");
    for (size_t i : {size_t{0}, size_t{1}, size_t{2}, r.size() - 2, r.size() - 1})
        EXPECT_NE(r[i].writer, guard_name) << i;

    int max_pulses = 0, min_pulses = 0;
    long long pulse_start = 0;
    for (size_t i = 3; i + 2 < r.size(); ++i) {
        const auto& c = r[i];
        SCOPED_TRACE(std::to_string(i) + ": " + c.attr + " " + c.value + " by " + c.writer);
        if (c.writer == guard_name) {
            EXPECT_EQ(c.value, "0") << "the guardian only stops";
            continue;
        }
        if (c.attr == "enable") {
            EXPECT_EQ(c.value, "1") << "the program disables only at its cleanup";
            EXPECT_TRUE(c.same_pulse) << "a restart follows the pulse's width";
            continue;
        }
        ASSERT_EQ(c.attr, "duty_cycle");
        if (c.same_pulse) continue;  // the race's rewrite
        EXPECT_NE(c.value, "0") << "a zero width in the middle of the pulses, not by the guardian";
        if (c.value == "2000000") {
            ++max_pulses;
            EXPECT_EQ(min_pulses, 0) << "full throttle after minimum";
        } else {
            EXPECT_EQ(c.value, "1000000");
            EXPECT_GT(c.t_us, second_enter) << "minimum throttle before the second Enter";
            ++min_pulses;
        }
        // The program sleeps 20 ms after each pulse's writes, which the model records
        // before it answers them: a bound no scheduling can break.
        if (pulse_start != 0) {
            EXPECT_GE(c.t_us - pulse_start, 20000) << "pulses at most every 20 ms";
        }
        pulse_start = c.t_us;
    }
    EXPECT_GE(max_pulses, 10);
    EXPECT_GE(min_pulses, 10);
}

// However the program ends mid-calibration, no output goes on with full throttle: each
// is zeroed and disabled within the guardian's bound (support/guardian.h), and what the
// service exported is released.
TEST_P(CalibrationOnTheKernel, KilledAtFullThrottleEveryOutputStopsWithin100ms)
{
    for (int sig : {SIGKILL, SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        sandbox::reset();
        sandbox::boot(GetParam());
        options real;
        real.fake_board = false;
        real.terminal_signals = true;  // Ctrl-C as the terminal sends it
        session s = program::start("hx_throttle_cal", real);
        ASSERT_TRUE(program::wait_for_output(s, prompt1, 10s)) << s.out << s.errors;
        program::type(s, "\n");
        ASSERT_TRUE(program::wait_for_output(s, prompt2, 10s)) << s.out;
        ASSERT_TRUE(wait_for_widths("2000000", 8)) << "full throttle was on before the end";
        const long long killed = now_us();
        if (sig == SIGINT) {
            program::type(s, "\x03");  // to the whole foreground process group
        } else if (sig == SIGTERM) {
            // As a service manager stops a unit: every process of the program at once.
            for (pid_t p : guardian::of_session(s.pid)) kill(p, SIGTERM);
        } else {
            kill(s.pid, SIGKILL);
        }
        EXPECT_EQ(program::finish(s), 128 + sig);
        const long long gone = now_us();
        std::this_thread::sleep_for(std::chrono::microseconds(guardian_stop_bound_us + 200000));

        std::map<std::string, std::pair<long long, std::string>> last_enable, last_duty;
        for (const auto& c : sandbox::pwm_record()) {
            const std::string out = c.device + " " + std::to_string(c.output);
            if (c.attr == "enable") last_enable[out] = {c.t_us, c.value};
            if (c.attr == "duty_cycle") last_duty[out] = {c.t_us, c.value};
        }
        EXPECT_EQ(last_enable.size(), 8u);
        long long last = 0;
        for (const auto& [out, e] : last_enable) {
            EXPECT_EQ(e.second, "0") << out;
            EXPECT_EQ(last_duty[out].second, "0") << out;
            last = std::max({last, e.first, last_duty[out].first});
        }
        // From the program's end as the test sees it: dying takes a CPU too.
        EXPECT_LE(last - gone, guardian_stop_bound_us);
        std::printf("calibration stopped after signal %d: %lld us after it, %lld us after the end\n", sig,
                    last - killed, last - gone);
        for (const char* chip : {"48300200.pwm", "48302200.pwm"}) {
            const std::string dir = sandbox::find_device("/sys/class/pwm", chip);
            ASSERT_NE(dir, "") << chip;
            const std::string n = dir.substr(dir.rfind("pwmchip") + 7);
            for (const std::string& name : {std::string("/pwm0"), "/pwm-" + n + ":0"})
                EXPECT_NE(access((dir + name).c_str(), F_OK), 0) << chip << " still exported";
        }
    }
}

INSTANTIATE_ON_EVERY_KERNEL(CalibrationOnTheKernel);

}  // namespace
