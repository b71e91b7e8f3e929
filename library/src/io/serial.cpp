// Serial service: termios on /dev/ttyS<bus>, reads bounded by ppoll.
#include "hx/serial.h"
#include "hx/board.h"

#include "../sys/deadline.h"
#include "../sys/sysfs.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int bus_count = HX_UART_MAX_BUS + 1;
constexpr int no_fd = -1;
// UART N's device: /dev/ttyS<N> is it where the device tree enables it (alias serialN).
constexpr std::array<const char*, bus_count> uart_device = {"44e09000", "48022000", "48024000",
                                                           "481a6000", "481a8000", "481aa000"};

struct rate {
    int baud;
    speed_t code;
};
constexpr std::array<rate, 30> rates = {{
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200}, {300, B300},
    {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400}, {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
    {230400, B230400}, {460800, B460800}, {500000, B500000}, {576000, B576000},
    {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000},
    {4000000, B4000000},
}};

std::array<int, bus_count> fd = {no_fd, no_fd, no_fd, no_fd, no_fd, no_fd};
std::array<long long, bus_count> timeout_ns{};

int fail(const char* who, const char* what)
{
    std::fprintf(stderr, "ERROR in %s, %s\n", who, what);
    return -1;
}

int fail_errno(const char* who, const char* what)
{
    std::fprintf(stderr, "ERROR in %s, %s: %s\n", who, what, std::strerror(errno));
    return -1;
}

bool valid_bus(const char* who, int bus)
{
    if (bus >= 0 && bus < bus_count) return true;
    std::fprintf(stderr, "ERROR in %s, bus must be between 0 and %d\n", who, HX_UART_MAX_BUS);
    return false;
}

// The descriptor of an open bus, or -1 after reporting.
int open_fd(const char* who, int bus)
{
    if (!valid_bus(who, bus)) return -1;
    if (fd[bus] == no_fd) {
        std::fprintf(stderr, "ERROR in %s, bus %d is not open, call hx_uart_init first\n", who, bus);
        return -1;
    }
    return fd[bus];
}

// Reads up to n bytes that arrive within timeout_ns (stopping early after a '\n' when
// line is set). The descriptor never blocks (VMIN = VTIME = 0); ppoll does the waiting.
int read_until(const char* who, int f, unsigned char* buf, int n, long long timeout_ns, bool line)
{
    const timespec deadline = hx::deadline::plus(hx::deadline::now(), timeout_ns);
    int got = 0;
    while (got < n) {
        pollfd p{f, POLLIN, 0};
        timespec rest = hx::deadline::left(deadline);
        const int ready = ppoll(&p, 1, &rest, nullptr);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return fail_errno(who, "poll");
        }
        if (ready == 0) break;  // time-out: report what arrived so far
        // One byte at a time for lines, so nothing after the line is consumed.
        const ssize_t r = read(f, buf + got, line ? 1 : static_cast<size_t>(n - got));
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return fail_errno(who, "read");
        }
        if (r == 0) {
            if (p.revents & (POLLHUP | POLLERR)) return fail(who, "the line hung up");
            continue;
        }
        got += static_cast<int>(r);
        if (line && buf[got - 1] == '\n') break;
    }
    return got;
}

}  // namespace

extern "C" {

int hx_uart_init(int bus, int baudrate, float timeout_s, int canonical_en, int stop_bits,
                 int parity_en)
{
    constexpr const char* who = "hx_uart_init";
    if (!valid_bus(who, bus)) return -1;
    speed_t code = 0;
    for (const rate& r : rates) {
        if (r.baud == baudrate) code = r.code;
    }
    if (code == 0) return fail(who, "baud rate not offered by termios");
    if (!(timeout_s >= 0.0f && timeout_s <= 25.5f)) return fail(who, "time-out must be 0 to 25.5 s");
    if (stop_bits != 1 && stop_bits != 2) return fail(who, "stop bits must be 1 or 2");
    if (fd[bus] != no_fd) hx_uart_close(bus);

    char path[16];
    std::snprintf(path, sizeof path, "/dev/ttyS%d", bus);
    // O_NOCTTY: a program without a terminal must not adopt the bus as its own.
    const int f = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (f < 0) {
        hx::sysfs::report(who, "open", path);
        return -1;
    }
    // Exactly the settings asked for: every flag word is built anew, so nothing an
    // earlier user set (two stop bits, flow control, odd or stick parity) survives.
    termios t{};
    if (tcgetattr(f, &t) != 0) {
        // A port the serial driver registered with no UART behind it opens, and then
        // answers EIO.
        if (errno == EIO)
            std::fprintf(stderr,
                         "ERROR in %s, %s has no UART behind it (the serial driver's placeholder): is uart%d "
                         "(%s) enabled in the device tree?\n",
                         who, path, bus, uart_device[static_cast<std::size_t>(bus)]);
        else
            fail_errno(who, "tcgetattr");
        close(f);
        return -1;
    }
    t.c_iflag = parity_en ? INPCK : 0;
    t.c_oflag = 0;
    t.c_cflag = CS8 | CREAD | CLOCAL | (stop_bits == 2 ? CSTOPB : 0) | (parity_en ? PARENB : 0);
    t.c_lflag = canonical_en ? ICANON : 0;
    // No control character at all, in canonical mode either: a received byte is data.
    // (_POSIX_VDISABLE is 0 on Linux, and the line discipline never treats the disabled
    // value as a control character, NUL included.) VMIN = VTIME = 0: reads never block;
    // every wait is a ppoll with the bus's time-out.
    std::fill(std::begin(t.c_cc), std::end(t.c_cc), static_cast<cc_t>(_POSIX_VDISABLE));
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0 ||
        tcsetattr(f, TCSANOW, &t) != 0) {
        fail_errno(who, "can't configure the bus");
        close(f);
        return -1;
    }
    // tcsetattr succeeds when any of the changes took: check that all of them did.
    constexpr tcflag_t line = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS;
    termios got{};
    if (tcgetattr(f, &got) != 0 || (got.c_cflag & line) != (t.c_cflag & line) ||
        got.c_iflag != t.c_iflag || (got.c_lflag & ICANON) != (t.c_lflag & ICANON) ||
        cfgetispeed(&got) != code) {
        std::fprintf(stderr, "ERROR in %s, %s did not take the line settings\n", who, path);
        close(f);
        return -1;
    }
    tcflush(f, TCIOFLUSH);
    timeout_ns[bus] = static_cast<long long>(static_cast<double>(timeout_s) * 1e9);
    fd[bus] = f;
    return 0;
}

int hx_uart_close(int bus)
{
    const int f = open_fd("hx_uart_close", bus);
    if (f < 0) return -1;
    close(f);
    fd[bus] = no_fd;
    return 0;
}

int hx_uart_flush(int bus)
{
    const int f = open_fd("hx_uart_flush", bus);
    if (f < 0) return -1;
    if (tcflush(f, TCIOFLUSH) != 0) return fail_errno("hx_uart_flush", "tcflush");
    return 0;
}

int hx_uart_write(int bus, const void* data, int bytes)
{
    constexpr const char* who = "hx_uart_write";
    const int f = open_fd(who, bus);
    if (f < 0) return -1;
    if (data == nullptr || bytes <= 0) return fail(who, "data must not be NULL and bytes must be > 0");
    const auto* p = static_cast<const unsigned char*>(data);
    int done = 0;
    while (done < bytes) {
        const ssize_t w = write(f, p + done, static_cast<size_t>(bytes - done));
        if (w < 0) {
            if (errno == EINTR) continue;
            return fail_errno(who, "write");
        }
        done += static_cast<int>(w);
    }
    return done;
}

int hx_uart_read_bytes(int bus, void* buf, int bytes)
{
    constexpr const char* who = "hx_uart_read_bytes";
    const int f = open_fd(who, bus);
    if (f < 0) return -1;
    if (buf == nullptr || bytes <= 0) return fail(who, "buf must not be NULL and bytes must be > 0");
    return read_until(who, f, static_cast<unsigned char*>(buf), bytes, timeout_ns[bus],
                      false);
}

int hx_uart_read_line(int bus, void* buf, int max_bytes)
{
    constexpr const char* who = "hx_uart_read_line";
    const int f = open_fd(who, bus);
    if (f < 0) return -1;
    if (buf == nullptr || max_bytes < 2) return fail(who, "buf must not be NULL and max_bytes >= 2");
    auto* b = static_cast<unsigned char*>(buf);
    const int n = read_until(who, f, b, max_bytes - 1, timeout_ns[bus], true);
    if (n >= 0) b[n] = '\0';
    return n;
}


int hx_board_uart(int bus, char* where, size_t cap)
{
    if (bus < 0 || bus > 5 || where == nullptr || cap == 0) return -1;
    char path[32], device[96], want[32];
    std::snprintf(path, sizeof path, "/dev/ttyS%d", bus);
    if (access(path, F_OK) != 0) {
        std::snprintf(where, cap, "no %s", path);
        return HX_BOARD_MISSING;
    }
    // The serial driver registers its ports whether or not a UART is there: the port is
    // the board's UART when it sits below the device at the bus's address (its own
    // device since 6.5: .../44e09000.serial/44e09000.serial:0/44e09000.serial:0.0); the
    // 8250 core's ports without one sit below serial8250.
    char tty[48], link[64];
    std::snprintf(tty, sizeof tty, "/sys/class/tty/ttyS%d", bus);
    std::snprintf(link, sizeof link, "%s/device", tty);
    std::snprintf(want, sizeof want, "%s.serial", uart_device[bus]);
    if (!hx::sysfs::link_through(tty, want)) {
        hx::sysfs::link_name(link, device, sizeof device);
        if (device[0] == '\0' || hx::sysfs::link_through(tty, "serial8250"))
            std::snprintf(where, cap, "%s has no UART at %s behind it (the serial driver's placeholder)", path,
                          uart_device[bus]);
        else
            std::snprintf(where, cap, "%s is the UART of %s, not the board's at %s", path, device, uart_device[bus]);
        return HX_BOARD_MISSING;
    }
    if (access(path, R_OK | W_OK) != 0) {
        char whose[96];
        hx::sysfs::owner(path, whose, sizeof whose);
        std::snprintf(where, cap, "%s (%s): not permitted to this user (%s)", path, want, whose);
        return HX_BOARD_NOT_PERMITTED;
    }
    std::snprintf(where, cap, "%s (%s)", path, want);
    return HX_BOARD_FOUND;
}

}  // extern "C"
