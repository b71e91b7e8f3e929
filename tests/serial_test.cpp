// The serial service on a pseudo-terminal standing in for /dev/ttyS1.
#include "support/require_sandbox.h"
#include <sim/sandbox.h>
#include "support/capture.h"
#include "support/fd_count.h"

#include <hx/serial.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

// A port the serial driver registered with no UART behind it: it opens, and then answers
// EIO (played here on the pty, where no kernel of this machine's has such a port).
std::atomic<bool> placeholder{false};

}  // namespace

extern "C" int tcgetattr(int fd, termios* t)
{
    if (placeholder.load()) {
        errno = EIO;
        return -1;
    }
    static const auto real = reinterpret_cast<int (*)(int, termios*)>(dlsym(RTLD_NEXT, "tcgetattr"));
    return real(fd, t);
}

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

class Serial : public testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        sandbox::reset();
    }
    void TearDown() override
    {
        stderr_of([] {
            for (int bus = 0; bus <= HX_UART_MAX_BUS; ++bus) hx_uart_close(bus);
        });
    }
};

TEST_F(Serial, APlaceholderPortWithNoUartBehindItIsNamedAsSuch)
{
    sandbox::add_serial(5, false);
    placeholder = true;
    const std::string err = stderr_of([] { EXPECT_EQ(hx_uart_init(5, 115200, 0.5f, 0, 1, 0), -1); });
    placeholder = false;
    EXPECT_EQ(err, "ERROR in hx_uart_init, /dev/ttyS5 has no UART behind it (the serial driver's placeholder): is "
                   "uart5 (481aa000) enabled in the device tree?\n");
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_uart_close(5), -1); }),
              "ERROR in hx_uart_close, bus 5 is not open, call hx_uart_init first\n");
}

TEST_F(Serial, LoopbackEchoesBytesAndLines)
{
    sandbox::add_serial(1, true);
    ASSERT_EQ(hx_uart_init(1, 115200, 0.5f, 0, 1, 0), 0);
    ASSERT_EQ(hx_uart_write(1, "Hello World", 11), 11);
    char buf[32] = {};
    EXPECT_EQ(hx_uart_read_bytes(1, buf, 11), 11);
    EXPECT_STREQ(buf, "Hello World");

    // A line read stops after '\n' and leaves what follows queued.
    ASSERT_EQ(hx_uart_write(1, "one\ntwo\n", 8), 8);
    EXPECT_EQ(hx_uart_read_line(1, buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "one\n");
    EXPECT_EQ(hx_uart_read_line(1, buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "two\n");
}

TEST_F(Serial, ALineLongerThanTheBufferIsCutAndTerminatedInside)
{
    sandbox::add_serial(1, true);
    ASSERT_EQ(hx_uart_init(1, 115200, 0.3f, 0, 1, 0), 0);
    const std::string line(40, 'x');
    ASSERT_EQ(hx_uart_write(1, line.data(), 40), 40);
    char buf[40];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(hx_uart_read_line(1, buf, 32), 31);
    EXPECT_EQ(std::string(buf, 31), std::string(31, 'x'));
    EXPECT_EQ(buf[31], '\0');
    EXPECT_EQ(std::string(buf + 32, 8), std::string(8, '#'));  // nothing written past 32
}

TEST_F(Serial, ReadsGiveUpAfterTheTimeOut)
{
    sandbox::add_serial(1, false);  // nobody at the other end
    ASSERT_EQ(hx_uart_init(1, 115200, 0.3f, 0, 1, 0), 0);
    char buf[32] = {};
    for (int which = 0; which < 2; ++which) {
        const auto t0 = clock_type::now();
        const int n = which == 0 ? hx_uart_read_bytes(1, buf, 11) : hx_uart_read_line(1, buf, 32);
        const auto took = clock_type::now() - t0;
        EXPECT_EQ(n, 0);
        EXPECT_GE(took, milliseconds(300));
        EXPECT_LT(took, milliseconds(600));
    }
}

TEST_F(Serial, PartialDataIsReturnedWhenTheTimeOutRunsOut)
{
    const int far_end = sandbox::add_serial(1, false);
    ASSERT_EQ(hx_uart_init(1, 9600, 0.2f, 0, 1, 0), 0);
    ASSERT_EQ(write(far_end, "abc", 3), 3);
    char buf[32] = {};
    EXPECT_EQ(hx_uart_read_bytes(1, buf, 11), 3);
    EXPECT_STREQ(buf, "abc");
}

TEST_F(Serial, FlushDropsPendingInput)
{
    const int far_end = sandbox::add_serial(1, false);
    ASSERT_EQ(hx_uart_init(1, 115200, 0.2f, 0, 1, 0), 0);
    ASSERT_EQ(write(far_end, "stale", 5), 5);
    std::this_thread::sleep_for(milliseconds(20));
    ASSERT_EQ(hx_uart_flush(1), 0);
    char buf[8] = {};
    EXPECT_EQ(hx_uart_read_bytes(1, buf, 5), 0);
}

TEST_F(Serial, BadArgumentsAreRefusedWithAMessage)
{
    sandbox::add_serial(1, true);
    char buf[8];
    const struct {
        const char* what;
        int (*call)(char*);
        const char* message;
    } cases[] = {
        {"bus 6", [](char*) { return hx_uart_init(6, 115200, 0.5f, 0, 1, 0); },
         "ERROR in hx_uart_init, bus must be between 0 and 5\n"},
        {"bus -1", [](char* b) { return hx_uart_read_bytes(-1, b, 1); },
         "ERROR in hx_uart_read_bytes, bus must be between 0 and 5\n"},
        {"odd baud", [](char*) { return hx_uart_init(1, 12345, 0.5f, 0, 1, 0); },
         "ERROR in hx_uart_init, baud rate not offered by termios\n"},
        {"3 stop bits", [](char*) { return hx_uart_init(1, 9600, 0.5f, 0, 3, 0); },
         "ERROR in hx_uart_init, stop bits must be 1 or 2\n"},
        {"negative time-out", [](char*) { return hx_uart_init(1, 9600, -1.0f, 0, 1, 0); },
         "ERROR in hx_uart_init, time-out must be 0 to 25.5 s\n"},
        {"unopened bus", [](char* b) { return hx_uart_read_line(1, b, 8); },
         "ERROR in hx_uart_read_line, bus 1 is not open, call hx_uart_init first\n"},
        {"no such device", [](char*) { return hx_uart_init(2, 9600, 0.5f, 0, 1, 0); },
         "ERROR in hx_uart_init, can't open /dev/ttyS2: No such file or directory\n"},
    };
    for (const auto& c : cases) {
        int rc = 0;
        EXPECT_EQ(stderr_of([&] { rc = c.call(buf); }), c.message) << c.what;
        EXPECT_EQ(rc, -1) << c.what;
    }
    ASSERT_EQ(hx_uart_init(1, 115200, 0.5f, 0, 1, 0), 0);
    EXPECT_EQ(stderr_of([&] { EXPECT_EQ(hx_uart_read_bytes(1, nullptr, 4), -1); }),
              "ERROR in hx_uart_read_bytes, buf must not be NULL and bytes must be > 0\n");
    EXPECT_EQ(stderr_of([&] { EXPECT_EQ(hx_uart_read_bytes(1, buf, 0), -1); }),
              "ERROR in hx_uart_read_bytes, buf must not be NULL and bytes must be > 0\n");
    EXPECT_EQ(stderr_of([&] { EXPECT_EQ(hx_uart_read_line(1, buf, 1), -1); }),
              "ERROR in hx_uart_read_line, buf must not be NULL and max_bytes >= 2\n");
    EXPECT_EQ(stderr_of([&] { EXPECT_EQ(hx_uart_write(1, nullptr, 3), -1); }),
              "ERROR in hx_uart_write, data must not be NULL and bytes must be > 0\n");
}

TEST_F(Serial, ReopeningABusNeitherLeaksNorLosesIt)
{
    sandbox::add_serial(1, true);
    const int before = open_descriptors();
    for (int i = 0; i < 10; ++i) ASSERT_EQ(hx_uart_init(1, 57600, 0.5f, 0, 2, 0), 0);
    EXPECT_EQ(open_descriptors(), before + 1);
    char buf[4] = {};
    ASSERT_EQ(hx_uart_write(1, "ok", 2), 2);
    EXPECT_EQ(hx_uart_read_bytes(1, buf, 2), 2);
    EXPECT_EQ(hx_uart_close(1), 0);
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_uart_close(1), -1); }),
              "ERROR in hx_uart_close, bus 1 is not open, call hx_uart_init first\n");
}

TEST_F(Serial, InitSetsExactlyTheRequestedLineWhateverAnEarlierUserLeft)
{
    sandbox::add_serial(1, true);
    // Someone ran stty on the bus: two stop bits, flow control, odd stick parity.
    const int other = open("/dev/ttyS1", O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(other, &t), 0);
    t.c_cflag |= CSTOPB | CRTSCTS | PARODD | CMSPAR;
    t.c_iflag |= IXON | IXOFF | IXANY | INPCK | ICRNL;
    t.c_lflag |= ECHO | ICANON;
    ASSERT_EQ(tcsetattr(other, TCSANOW, &t), 0);
    ASSERT_EQ(tcgetattr(other, &t), 0);
    ASSERT_TRUE(t.c_cflag & CSTOPB);  // the pseudo-terminal keeps them

    ASSERT_EQ(hx_uart_init(1, 9600, 0.2f, 0, 1, 0), 0);
    ASSERT_EQ(tcgetattr(other, &t), 0);
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_iflag, 0u);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));

    // Two stop bits and line assembly, then back to one stop bit, raw.
    ASSERT_EQ(hx_uart_init(1, 115200, 0.2f, 1, 2, 0), 0);
    ASSERT_EQ(tcgetattr(other, &t), 0);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_lflag & ICANON);
    // No control character: NUL, DEL, ^U, ^D and ^C in a line are data like any other.
    for (size_t i = 0; i < NCCS; ++i) {
        if (i != VMIN && i != VTIME) {
            EXPECT_EQ(t.c_cc[i], static_cast<cc_t>(_POSIX_VDISABLE)) << i;
        }
    }
    const char line[] = {'a', '\0', 'b', '\x7f', '\x15', '\x04', '\x03', 'c', '\n'};
    ASSERT_EQ(hx_uart_write(1, line, sizeof line), static_cast<int>(sizeof line));
    char got[32] = {};
    ASSERT_EQ(hx_uart_read_line(1, got, sizeof got), static_cast<int>(sizeof line));
    EXPECT_EQ(std::string(got, sizeof line), std::string(line, sizeof line));
    ASSERT_EQ(hx_uart_init(1, 115200, 0.2f, 0, 1, 0), 0);
    ASSERT_EQ(tcgetattr(other, &t), 0);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_lflag & ICANON);

    // A pseudo-terminal has no parity: asking for it fails, and the bus is not left open.
    const int before = open_descriptors();
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_uart_init(1, 115200, 0.2f, 0, 1, 1), -1); }),
              "ERROR in hx_uart_init, /dev/ttyS1 did not take the line settings\n");
    EXPECT_EQ(open_descriptors(), before - 1);  // the earlier open bus was closed first
    close(other);
}

TEST_F(Serial, AFarEndThatHangsUpMidReadIsAnErrorNotAHang)
{
    sandbox::add_serial(1, false);
    ASSERT_EQ(hx_uart_init(1, 115200, 5.0f, 0, 1, 0), 0);
    std::thread hang([] {
        std::this_thread::sleep_for(milliseconds(100));
        sandbox::hang_up(1);
    });
    char buf[16] = {};
    const auto t0 = clock_type::now();
    int n = 0;
    const std::string err = stderr_of([&] { n = hx_uart_read_bytes(1, buf, 11); });
    hang.join();
    EXPECT_EQ(n, -1);
    EXPECT_LT(clock_type::now() - t0, milliseconds(1000));  // not the 5 s time-out
    EXPECT_EQ(err.rfind("ERROR in hx_uart_read_bytes, ", 0), 0u) << err;
    EXPECT_EQ(stderr_of([&] { n = hx_uart_read_line(1, buf, 16); }).rfind("ERROR in hx_uart_read_line, ", 0), 0u);
    EXPECT_EQ(n, -1);
}

TEST_F(Serial, SignalsDuringAReadNeitherCutItShortNorStretchIt)
{
    const int far_end = sandbox::add_serial(1, false);
    ASSERT_EQ(hx_uart_init(1, 115200, 0.3f, 0, 1, 0), 0);
    struct sigaction sa{};
    sa.sa_handler = [](int) {};  // no SA_RESTART: every signal interrupts the wait
    sigaction(SIGUSR1, &sa, nullptr);
    const pthread_t reader = pthread_self();
    std::atomic<bool> done{false};
    std::thread storm([&] {
        for (int i = 0; !done; ++i) {
            std::this_thread::sleep_for(milliseconds(5));
            pthread_kill(reader, SIGUSR1);
            if (i == 20 && write(far_end, "abc", 3) != 3) ADD_FAILURE() << "far end write";
        }
    });
    char buf[16] = {};
    const auto t0 = clock_type::now();
    const int n = hx_uart_read_bytes(1, buf, 11);
    const auto took = clock_type::now() - t0;
    done = true;
    storm.join();
    EXPECT_EQ(n, 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_GE(took, milliseconds(300));
    EXPECT_LT(took, milliseconds(600));
}

}  // namespace
