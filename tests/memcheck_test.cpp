// The four programs under valgrind's memcheck: on the fake board, and the serial echo
// on the sandbox's loopback. No error and no leak, with no suppressions: the C library
// needs none here.
#include "support/require_sandbox.h"
#include <sim/program.h>
#include <sim/sandbox.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using program::options;
using program::session;

// Only a bound on a hang: valgrind runs a program many times slower (its manual: 20 to
// 30 times for memcheck), and more on a loaded machine.
constexpr auto valgrind_limit = std::chrono::seconds(120);

struct memcheck {
    std::string log;
    options opts;

    explicit memcheck(const char* name)
    {
        log = std::string("/tmp/hx-memcheck-") + name + "-" + std::to_string(getpid()) + ".log";
        opts.wrapper = {"valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
                        "--show-leak-kinds=definite,indirect,possible",
                        "--errors-for-leak-kinds=definite,indirect,possible", "--trace-children=no",
                        "--log-file=" + log};
    }
    ~memcheck() { unlink(log.c_str()); }
    std::string report() const
    {
        std::ifstream in(log);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

TEST(Memcheck, SerialProgramsOnTheFakeBoard)
{
    for (const char* name : {"hx_serial_echo", "serial_probe"}) {
        memcheck m(name);
        m.opts.args = {"1"};
        m.opts.script = "read_bytes 11 Hello World\nread_line 11 Hello World\n";
        session s;
        EXPECT_EQ(program::run(name, m.opts, &s, valgrind_limit), 0) << name << "\n" << m.report();
        m.opts.args = {"7"};  // the usage path too
        EXPECT_EQ(program::run(name, m.opts, &s, valgrind_limit), 255) << name << "\n" << m.report();
    }
}

TEST(Memcheck, CalibrationWithItsPulseThread)
{
    memcheck m("hx_throttle_cal");
    session s = program::start("hx_throttle_cal", m.opts);
    for (int enter = 0; enter < 3; ++enter) {
        std::this_thread::sleep_for(300ms);
        program::type(s, "\n");
    }
    EXPECT_EQ(program::finish(s, valgrind_limit), 0) << m.report();
    EXPECT_NE(s.out.find("Calibration complete"), std::string::npos) << s.out;
}

TEST(Memcheck, MonitorWithCallbacksAndCtrlC)
{
    memcheck m("hx_press_monitor");
    m.opts.script = "button 100 2 5 press\nbutton 200 2 5 release\n";
    session s = program::start("hx_press_monitor", m.opts);
    ASSERT_TRUE(program::wait_for_output(s, "Pause Released\n", valgrind_limit)) << s.out << s.errors;
    kill(s.pid, SIGINT);
    EXPECT_EQ(program::finish(s, valgrind_limit), 0) << m.report();
}

TEST(Memcheck, SerialEchoOnARealLoopback)
{
    REQUIRE_SANDBOX();
    sandbox::reset();
    sandbox::add_serial(1, true);
    memcheck m("hx_serial_echo-loopback");
    m.opts.fake_board = false;
    m.opts.args = {"1"};
    session s;
    EXPECT_EQ(program::run("hx_serial_echo", m.opts, &s, valgrind_limit), 0) << m.report();
    EXPECT_NE(s.out.find("Received 11 bytes: Hello World"), std::string::npos) << s.out;
}

}  // namespace
