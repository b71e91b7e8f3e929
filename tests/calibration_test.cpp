// hx_throttle_cal at the terminal: on the fake board (the prompts, the pulse train and
// its switch from maximum to minimum width, the failures), and on the servo header of
// every kernel generation's simulated kernel (PRU core 1's R30).
#include "support/kernels.h"

#include <sim/firmware.h>
#include <sim/program.h>
#include <sim/sandbox.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <csignal>
#include <gtest/gtest.h>
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
        REQUIRE_SIMULATED_KERNEL();
        if (!firmware::built()) GTEST_SKIP() << firmware::not_built();
        sandbox::reset();
        sandbox::boot(GetParam());
    }
};

// Widths of servo ch's pulses in R30's record, in cycles.
std::vector<uint64_t> widths(int ch)
{
    std::vector<uint64_t> out;
    for (const auto& p : firmware::pulses(firmware::r30(), ch)) out.push_back(p.fall == 0 ? 0 : p.width());
    return out;
}
constexpr uint64_t full = 2000 * 200, minimum = 1000 * 200;  // cycles

// Waits until servo 1 has had count pulses of width cycles (the time is only a limit: a
// loaded machine may take longer to send them).
bool wait_for_pulses(uint64_t width, long count)
{
    for (int waited = 0; waited < 20000; waited += 10) {
        const auto w = widths(1);
        if (std::count(w.begin(), w.end(), width) >= count) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// A person's Enters played: R30 shows full-throttle pulses, then minimum, on all eight
// channels, one a call of the pulse thread, and nothing after the end. The program's
// cleanup stops the firmware, which ends a pulse still high and drops the requests still
// waiting (a model slower than real time, as under a sanitizer, leaves some waiting):
// one pulse a request taken, then, the last maybe cut short.
TEST_P(CalibrationOnTheKernel, TheServoHeaderCarriesFullThenMinimumThrottleOnePulseACall)
{
    options real;
    real.fake_board = false;
    session s = program::start("hx_throttle_cal", real);
    ASSERT_TRUE(program::wait_for_output(s, prompt1, 10s)) << s.out << s.errors;
    program::type(s, "\n");
    ASSERT_TRUE(program::wait_for_output(s, prompt2, 10s)) << s.out;
    ASSERT_TRUE(wait_for_pulses(full, 10));
    program::type(s, "\n");
    ASSERT_TRUE(program::wait_for_output(s, prompt3, 10s)) << s.out;
    ASSERT_TRUE(wait_for_pulses(minimum, 10));
    program::type(s, "\n");
    EXPECT_EQ(program::finish(s), 0);
    EXPECT_EQ(s.out, prompt1 + prompt2 + prompt3 + done);
    EXPECT_EQ(s.errors, "");

    const uint32_t calls = firmware::servo_written(), taken = firmware::servo_taken();
    ASSERT_TRUE(firmware::servo_settle(calls));
    EXPECT_EQ(firmware::state(1), "offline");
    EXPECT_LE(calls - taken, 16u);
    for (int ch = 1; ch <= 8; ++ch) {
        SCOPED_TRACE(ch);
        auto w = widths(ch);
        ASSERT_EQ(w.size(), taken);
        if (w.back() != minimum) {
            EXPECT_LT(w.back(), minimum) << "cut short by the stop";
            w.pop_back();
        }
        const auto first_min = std::find(w.begin(), w.end(), minimum);
        EXPECT_GE(first_min - w.begin(), 10);
        EXPECT_GE(w.end() - first_min, 9);
        EXPECT_TRUE(std::all_of(w.begin(), first_min, [](uint64_t x) { return x == full; }));
        EXPECT_TRUE(std::all_of(first_min, w.end(), [](uint64_t x) { return x == minimum; }));
    }
    EXPECT_EQ(firmware::foreign_bits(firmware::r30()), 0u);
}

// However the program ends mid-calibration, the last full-throttle pulse is its last
// call's: every call it made gave one pulse, none came after, and the outputs are low.
TEST_P(CalibrationOnTheKernel, KilledAtFullThrottleTheLastPulseIsTheLastCalls)
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
        ASSERT_TRUE(wait_for_pulses(full, 8)) << "full throttle was on before the end";
        if (sig == SIGINT) program::type(s, "\x03");  // to the whole foreground process group
        else kill(-s.pid, sig);                          // every process of the program
        EXPECT_EQ(program::finish(s), 128 + sig);
        const uint32_t calls = firmware::servo_written();
        ASSERT_TRUE(firmware::servo_settle(calls));
        for (int ch = 1; ch <= 8; ++ch) EXPECT_EQ(widths(ch), std::vector<uint64_t>(calls, full)) << ch;
        EXPECT_EQ(firmware::report("r30", 1), "0");
    }
}

INSTANTIATE_ON_EVERY_KERNEL(CalibrationOnTheKernel);

}  // namespace
