// Pseudo-terminals standing in for the UARTs: /dev/ttyS<bus> is a pty's slave, and
// with echo a thread sends back everything written to the bus (RX wired to TX).
#include "internal.h"
#include "sim/sandbox.h"

#include <atomic>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sandbox {

using internal::check;
using internal::die;

namespace {

struct serial_line {
    int bus = -1;
    int master = -1;
    std::thread echo;
    std::atomic<bool> stop{false};

    ~serial_line() { hang_up(); }
    void hang_up()
    {
        stop = true;
        if (echo.joinable()) echo.join();
        if (master >= 0) close(master);
        master = -1;
    }
};
std::vector<std::unique_ptr<serial_line>> lines;

}  // namespace

namespace internal {

void stop_serial() { lines.clear(); }

}  // namespace internal

int add_serial(int bus, bool echo)
{
    auto* l = lines.emplace_back(std::make_unique<serial_line>()).get();
    l->bus = bus;
    l->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (l->master < 0) die("open", "/dev/ptmx");
    check(grantpt(l->master), "grantpt", "/dev/ptmx");
    check(unlockpt(l->master), "unlockpt", "/dev/ptmx");
    const std::string slave = ptsname(l->master);
    // The master's side must not cook what it echoes back.
    termios t{};
    tcgetattr(l->master, &t);
    cfmakeraw(&t);
    tcsetattr(l->master, TCSANOW, &t);
    bind(slave, "/dev/ttyS" + std::to_string(bus));
    if (echo) {
        l->echo = std::thread([l] {
            char buf[256];
            while (!l->stop) {
                pollfd p{l->master, POLLIN, 0};
                if (poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) continue;
                const ssize_t n = read(l->master, buf, sizeof buf);
                if (n > 0 && write(l->master, buf, static_cast<size_t>(n)) < 0) break;
            }
        });
    }
    return l->master;
}

void hang_up(int bus)
{
    for (auto& l : lines)
        if (l->bus == bus) l->hang_up();
}

}  // namespace sandbox
