// hx_press_monitor at the terminal, on the fake board: scripted presses, Ctrl-C, and
// buttons that fail to set up.
#include <sim/program.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using program::options;
using program::session;
using strings = std::vector<std::string>;

options with_script(std::string script)
{
    options o;
    o.script = std::move(script);
    return o;
}

TEST(Monitor, PressesAndReleasesOfBothButtonsArePrintedUntilCtrlC)
{
    session s = program::start("hx_press_monitor", with_script(
        "button 50 2 5 press\n"
        "button 100 2 5 release\n"
        "button 150 2 4 press\n"
        "button 200 2 4 release\n"
        "button 250 2 5 press\n"));
    ASSERT_TRUE(program::wait_for_output(s, "Pause Pressed\nPause Released\nMode Pressed\n"
                                            "Mode Released\nPause Pressed\n", 5s)) << s.out;
    kill(s.pid, SIGINT);
    EXPECT_EQ(program::finish(s), 0);
    EXPECT_EQ(s.out, "Press buttons to see response\n"
                     "Pause Pressed\nPause Released\nMode Pressed\nMode Released\nPause Pressed\n");
    EXPECT_EQ(s.errors, "");
    strings lines = program::call_lines(s);
    // The handler goes in after both buttons are set up (recorded where the fake board
    // can stand in for signal).
    const auto sig = std::find(lines.begin(), lines.end(), "signal 2");
    if (sig != lines.end()) {
        EXPECT_EQ(sig - lines.begin(), 2);
        lines.erase(sig);
    }
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(strings(lines.begin(), lines.begin() + 4),
              (strings{"hx_button_init 2 5 1 2000", "hx_button_init 2 4 1 2000",
                       "hx_button_set_callbacks 2 5", "hx_button_set_callbacks 2 4"}));
    EXPECT_EQ(lines.back(), "hx_button_cleanup");
    for (const auto& l : lines)
        if (l.rfind("hx_usleep", 0) == 0) {
            EXPECT_EQ(l, "hx_usleep 500000");
        }
}

TEST(Monitor, CtrlCEndsTheProgramWithinHalfASecondEvenWhenPressedTwice)
{
    for (int presses : {1, 2}) {
        session s = program::start("hx_press_monitor", options{});
        ASSERT_TRUE(program::wait_for_output(s, "Press buttons to see response\n", 5s));
        std::this_thread::sleep_for(200ms);  // in the middle of a half-second sleep
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < presses; ++i) {
            kill(s.pid, SIGINT);
            std::this_thread::sleep_for(20ms);
        }
        // The handler stays installed: a second Ctrl-C does not kill the program.
        EXPECT_EQ(program::finish(s), 0) << presses;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 700ms) << presses;
        EXPECT_EQ(program::call_lines(s).back(), "hx_button_cleanup");
    }
}

TEST(Monitor, AButtonThatFailsToSetUpEndsTheProgramAtOnce)
{
    session s;
    EXPECT_EQ(program::run("hx_press_monitor", with_script("button_init 2 5 -1\n"), &s), 255);
    EXPECT_EQ(s.errors, "ERROR: failed to init buttons\n");
    EXPECT_EQ(s.out, "");
    EXPECT_EQ(program::call_lines(s), strings{"hx_button_init 2 5 1 2000"});

    EXPECT_EQ(program::run("hx_press_monitor", with_script("button_init 2 4 -1\n"), &s), 255);
    EXPECT_EQ(s.errors, "ERROR: failed to init buttons\n");
    EXPECT_EQ(s.out, "");
    // The pause button stays as it is: no cleanup.
    EXPECT_EQ(program::call_lines(s),
              (strings{"hx_button_init 2 5 1 2000", "hx_button_init 2 4 1 2000"}));
}

TEST(Monitor, ACtrlCTheMomentTheHandlerIsInStillEndsTheProgram)
{
    session s = program::start("hx_press_monitor", with_script("sigint_after_signal\n"));
    const int status = program::finish(s, std::chrono::seconds(3));
    const strings lines = program::call_lines(s);
    if (std::find(lines.begin(), lines.end(), "signal 2") == lines.end())
        GTEST_SKIP() << "signal is intercepted before the fake board (a sanitizer's runtime)";
    EXPECT_EQ(status, 0) << "the Ctrl-C was lost: the program ran on";
    EXPECT_EQ(s.out, "Press buttons to see response\n");
    EXPECT_EQ(lines.back(), "hx_button_cleanup");
}

TEST(Monitor, AStormOfCtrlCsEndsItOnceWithStatusZero)
{
    session s = program::start("hx_press_monitor", options{});
    ASSERT_TRUE(program::wait_for_output(s, "Press buttons to see response\n", 5s));
    for (int i = 0; i < 200; ++i) kill(s.pid, SIGINT);
    EXPECT_EQ(program::finish(s), 0);
    const strings lines = program::call_lines(s);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "hx_button_cleanup"), 1);
    EXPECT_EQ(s.errors, "");
}

}  // namespace
