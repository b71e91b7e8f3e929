// hx_throttle_check at the terminal: a person's keys on the servo header of every kernel
// generation's simulated kernel (PRU core 1's R30, to the cycle), each ending of the
// program, and its command line on the fake board.
#include "support/kernels.h"

#include <sim/firmware.h>
#include <sim/program.h>
#include <sim/sandbox.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string keys_line = "+ or up arrow: 1% more, - or down arrow: 1% less, 0: minimum, q: quit\n";
const std::string stopped = "\nthrottle back at minimum; every output stopped\n";

// Servo ch's pulses in microseconds (a width that is no whole microsecond, the one a
// cleanup's stop may cut short, as -1).
std::vector<long long> widths_us(int ch)
{
    std::vector<long long> out;
    for (const auto& p : firmware::pulses(firmware::r30(), ch))
        if (p.fall != 0) out.push_back(p.width() % 200 ? -1 : static_cast<long long>(p.width() / 200));
    return out;
}

// Waits until servo 1 has had a pulse of us (the time is only a limit).
bool wait_for_width(long long us)
{
    for (int waited = 0; waited < 10000; waited += 5) {
        const auto w = widths_us(1);
        if (std::find(w.begin(), w.end(), us) != w.end()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

// What the header carried on every channel: from minimum, never more than one step
// (10 us) from one pulse to the next, up to peak at most, and at least ten pulses of
// minimum at the end before the stop (whose cut pulse, if any, is left out). One pulse a
// request taken.
void expect_steps_from_and_back_to_minimum(long long peak)
{
    const auto first = widths_us(1);
    ASSERT_FALSE(first.empty());
    for (int ch = 1; ch <= 8; ++ch) {
        SCOPED_TRACE("servo " + std::to_string(ch));
        auto w = widths_us(ch);
        EXPECT_EQ(w, first) << "every channel the same";
        if (!w.empty() && w.back() == -1) w.pop_back();
        ASSERT_GE(w.size(), 10u);
        EXPECT_EQ(w.front(), 1000);
        for (size_t k = 1; k < w.size(); ++k) EXPECT_LE(std::llabs(w[k] - w[k - 1]), 10) << "pulse " << k;
        EXPECT_EQ(*std::max_element(w.begin(), w.end()), peak);
        EXPECT_TRUE(std::all_of(w.end() - 10, w.end(), [](long long x) { return x == 1000; }));
    }
    EXPECT_EQ(firmware::pulses(firmware::r30(), 1).size(), firmware::servo_taken());
    EXPECT_EQ(firmware::state(1), "offline");
    EXPECT_EQ(firmware::report("r30", 1), "0");
}

class ThrottleCheck : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        REQUIRE_SIMULATED_KERNEL();
        if (!firmware::built()) GTEST_SKIP() << firmware::not_built();
        sandbox::reset();
        sandbox::boot(GetParam());
    }
    static program::session start(bool signals = false)
    {
        program::options o;
        o.fake_board = false;
        o.terminal_signals = signals;
        program::session s = program::start("hx_throttle_check", o);
        EXPECT_TRUE(program::wait_for_output(s, keys_line + "\rthrottle   0% (1000 us)", 10s)) << s.out << s.errors;
        return s;
    }
};

// Twenty steps up in one burst, five down, two up arrows, q: the width shown follows
// each key at once; the pulses follow the width a step a pulse.
TEST_P(ThrottleCheck, KeysMoveTheThrottleAStepAtATimeAndQuitBringsItBackToMinimum)
{
    program::session s = start();
    program::type(s, std::string(20, '+'));
    ASSERT_TRUE(program::wait_for_output(s, "\rthrottle  20% (1200 us)", 5s)) << s.out;
    ASSERT_TRUE(wait_for_width(1200));
    program::type(s, "-----");
    ASSERT_TRUE(wait_for_width(1150));
    program::type(s, "\x1b[A\x1b[A");
    ASSERT_TRUE(program::wait_for_output(s, "\rthrottle  17% (1170 us)", 5s)) << s.out;
    ASSERT_TRUE(wait_for_width(1170));
    program::type(s, "q");
    EXPECT_EQ(program::finish(s), 0);
    EXPECT_EQ(s.errors, "");
    EXPECT_EQ(s.out.substr(s.out.size() - stopped.size()), stopped);
    expect_steps_from_and_back_to_minimum(1200);
}

// Ctrl-C and SIGTERM end it as q does, and so does end of input, and 0 brings the
// throttle down the same way without ending.
TEST_P(ThrottleCheck, EveryEndingBringsTheThrottleBackToMinimumAStepAPulse)
{
    for (const std::string how : {"Ctrl-C", "SIGTERM", "0 then end of input"}) {
        SCOPED_TRACE(how);
        sandbox::reset();
        sandbox::boot(GetParam());
        program::session s = start(true);
        program::type(s, std::string(10, '+'));
        ASSERT_TRUE(wait_for_width(1100));
        if (how == "Ctrl-C") {
            program::type(s, "\x03");
        } else if (how == "SIGTERM") {
            kill(s.pid, SIGTERM);
        } else {
            program::type(s, "0");
            ASSERT_TRUE(program::wait_for_output(s, "10% (1100 us)\rthrottle   0% (1000 us)", 5s)) << s.out;
            program::type(s, "\x04");  // end of input, as Ctrl-D at the terminal
        }
        EXPECT_EQ(program::finish(s), 0) << s.out << s.errors;
        EXPECT_EQ(s.out.substr(s.out.size() - stopped.size()), stopped);
        expect_steps_from_and_back_to_minimum(1100);
    }
}

INSTANTIATE_ON_EVERY_KERNEL(ThrottleCheck);

// On the fake board: the channel given is the only one pulsed; a channel other than 1
// to 8, or more than one argument, gets the usage and status 255 before any service is
// called; a servo service that does not start ends it with 255 and no word of its own.
TEST(ThrottleCheckCommandLine, TheChannelGivenAloneIsPulsedAndAnythingElseIsRefused)
{
    program::options o;
    o.args = {"3"};
    o.stdin_closed = true;
    program::session s;
    EXPECT_EQ(program::run("hx_throttle_check", o, &s), 0);
    const auto lines = program::call_lines(s);
    ASSERT_GE(lines.size(), 12u);
    EXPECT_EQ(lines.front(), "hx_servo_init");
    EXPECT_EQ(lines.back(), "hx_servo_cleanup");
    long pulses = 0;
    for (const auto& l : lines) pulses += l == "hx_servo_send_esc_pulse_normalized 3 0";
    EXPECT_GE(pulses, 10);
    EXPECT_NE(s.out.find("throttle check on servo channel 3\n"), std::string::npos) << s.out;

    const std::string usage = "\nUsage: hx_throttle_check [channel]\n"
                              "With the propellers off, moves the ESC throttle one step a key press, on servo\n"
                              "channel 1 to 8, or on all eight when no channel is given.\n\n";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{{"0"}, {"9"}, {"x"}, {"2x"}, {"1", "2"}}) {
        o.args = args;
        EXPECT_EQ(program::run("hx_throttle_check", o, &s), 255) << args[0];
        EXPECT_EQ(s.out, usage);
        EXPECT_TRUE(program::call_lines(s).empty());
    }
    o.args = {};
    o.script = "servo_init -1\n";
    EXPECT_EQ(program::run("hx_throttle_check", o, &s), 255);
    EXPECT_EQ(s.out, "");
    EXPECT_EQ(s.errors, "");
}

}  // namespace
