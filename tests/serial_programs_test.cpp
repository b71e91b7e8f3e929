// hx_serial_echo and serial_probe at the terminal: on the fake board, and once for real
// on the pseudo-terminal loopback of the board sandbox.
#include "support/require_sandbox.h"
#include <sim/sandbox.h>
#include <sim/program.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using program::options;
using program::session;
using strings = std::vector<std::string>;

options fake(strings args, std::string script = {})
{
    options o;
    o.args = std::move(args);
    o.script = std::move(script);
    return o;
}

const std::string usage =
    "\n"
    "Usage: hx_serial_echo {bus}\n"
    "This sends a short message out the specified bus and then\n"
    "reads it back in. This requires connecting RX to TX to make a loopback.\n"
    "For Brantle or Tamsel specify bus 0,1,2 or 5\n"
    "\n";

// What a person sees when both reads bring back the whole text.
const std::string echoed =
    "\ntesting UART bus 1\n\n"
    "Sending  11 bytes: Hello World \n"
    "reading bytes:\n"
    "Received 11 bytes: Hello World \n"
    "\n"
    "Sending  11 bytes: Hello World \n"
    "reading line:\n"
    "Received 11 bytes: Hello World \n";

const strings good_run_calls = {
    "hx_uart_init 1 115200 0.5 0 1 0",
    "hx_uart_flush 1",
    "hx_uart_write 1 11 Hello World",
    "hx_uart_read_bytes 1 11",
    "hx_uart_write 1 11 Hello World",
    "hx_uart_read_line 1 32",
    "hx_uart_close 1",
};

TEST(SerialPrograms, WrongArgumentsPrintUsageAndTouchNoBus)
{
    // Numbers beyond the int range do not wrap onto a bus (4294967297 is 2^32 + 1).
    const std::vector<strings> wrong = {{}, {"1", "2"}, {"3"}, {"4"}, {"6"}, {"-1"},
                                        {"4294967297"}, {"-4294967296"}, {"99999999999999999999"}};
    for (const char* name : {"hx_serial_echo", "serial_probe"}) {
        for (const strings& args : wrong) {
            session s;
            EXPECT_EQ(program::run(name, fake(args), &s), 255) << name;
            EXPECT_EQ(s.out, usage) << name;
            EXPECT_EQ(s.errors, "") << name;
            EXPECT_TRUE(program::calls(s).empty()) << name;
        }
    }
}

TEST(SerialPrograms, ALetterMeansBusZeroAndAFailedOpenIsNeverClosed)
{
    session s;
    EXPECT_EQ(program::run("hx_serial_echo", fake({"abc"}, "uart_init -1\n"), &s), 255);
    EXPECT_EQ(s.out, "\ntesting UART bus 0\n\nFailed to hx_uart_init0\n");
    EXPECT_EQ(s.errors, "");
    EXPECT_EQ(program::call_lines(s), strings{"hx_uart_init 0 115200 0.5 0 1 0"});

    EXPECT_EQ(program::run("serial_probe", fake({"5"}, "uart_init -1\n"), &s), 255);
    EXPECT_EQ(s.out, "\ntesting UART bus 5\n\nFailed to hx_uart_init5\n");
    EXPECT_EQ(program::call_lines(s), strings{"hx_uart_init 5 115200 0.5 0 1 0"});
}

TEST(SerialPrograms, EchoSendsTwiceAndReportsEachRead)
{
    session s;
    const std::string script = "read_bytes 11 Hello World\nread_line 11 Hello World\n";
    EXPECT_EQ(program::run("hx_serial_echo", fake({"1"}, script), &s), 0);
    EXPECT_EQ(s.out, echoed);
    EXPECT_EQ(s.errors, "");
    EXPECT_EQ(program::call_lines(s), good_run_calls);
}

TEST(SerialPrograms, ErrorsAndTimeOutsAreReportedAndTheBusStillCloses)
{
    session s;
    EXPECT_EQ(program::run("hx_serial_echo", fake({"2"}, "read_bytes -1\nread_line 0\n"), &s), 0);
    EXPECT_EQ(s.errors, "Error reading bus\n");
    EXPECT_NE(s.out.find("reading line:\ntimeout reached, 0 bytes read\n"), std::string::npos) << s.out;
    EXPECT_EQ(program::call_lines(s).back(), "hx_uart_close 2");

    // 32 bytes and no NUL: the report stops at the buffer's end.
    const std::string full(32, 'A');
    EXPECT_EQ(program::run("hx_serial_echo", fake({"0"}, "read_bytes 0\nread_line 32 " + full + "TAIL\n"), &s), 0);
    EXPECT_NE(s.out.find("reading line:\nReceived 32 bytes: " + full + " \n"), std::string::npos) << s.out;
    EXPECT_NE(s.out.find("reading bytes:\ntimeout reached, 0 bytes read\n"), std::string::npos) << s.out;
}

TEST(SerialPrograms, ProbeOpensFlushesAndCloses)
{
    session s;
    EXPECT_EQ(program::run("serial_probe", fake({"2"}), &s), 0);
    EXPECT_EQ(s.out, "\ntesting UART bus 2\n\nSending  11 bytes: Hello World \nreading bytes:\n");
    EXPECT_EQ(s.errors, "");
    EXPECT_EQ(program::call_lines(s),
              (strings{"hx_uart_init 2 115200 0.5 0 1 0", "hx_uart_flush 2", "hx_uart_close 2"}));
}

TEST(SerialPrograms, EchoOnARealLoopbackReadsItsOwnText)
{
    REQUIRE_SANDBOX();
    sandbox::reset();
    sandbox::add_serial(1, true);
    session s;
    options real = fake({"1"});
    real.fake_board = false;
    EXPECT_EQ(program::run("hx_serial_echo", real, &s), 0);
    // The line read has no '\n' to stop at: it keeps what arrived and times out.
    EXPECT_EQ(s.out, echoed);
    EXPECT_EQ(s.errors, "");

    // No device for bus 5 on this board.
    real.args = {"5"};
    EXPECT_EQ(program::run("hx_serial_echo", real, &s), 255);
    EXPECT_EQ(s.out, "\ntesting UART bus 5\n\nFailed to hx_uart_init5\n");
    EXPECT_EQ(s.errors, "ERROR in hx_uart_init, can't open /dev/ttyS5: No such file or directory\n");
}

}  // namespace
