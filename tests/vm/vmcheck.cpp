// vmcheck: the guest's side of the real-kernel tests. Runs inside a small VM with a
// Debian kernel, its GPIO simulator and real UARTs, and prints one "RESULT name
// PASS|FAIL ..." line per check on the console.
//
//   vmcheck drive SIMDIR        press and release pause (line 5) and mode (line 4) of the
//                               simulated bank, with a glitch between: for the monitor
//   vmcheck own-debounce SIMDIR the button service where the kernel refuses the debounce
//                               period (as the AM335x does above 7936 us): vmcheck stands
//                               in for ioctl and answers EINVAL to a line request with a
//                               debounce attribute, so the service requests the line
//                               without it and debounces itself
//   vmcheck no-v2 SIMDIR        a kernel that refuses uAPI v2 altogether (vmcheck answers
//                               ENOTTY, as 4.x kernels do) on a kernel built without v1
//                               (Debian's 7.x): the service must say why, with v2's error
//   vmcheck serial-line         /dev/ttyS1 with parity and two stop bits, looped back
#include <hx/button.h>
#include <hx/serial.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::string sim;  // the simulated bank's directory in sysfs

void pull(int line, const char* how)
{
    const std::string p = sim + "/sim_gpio" + std::to_string(line) + "/pull";
    const int f = open(p.c_str(), O_WRONLY);
    if (f < 0 || write(f, how, std::strlen(how)) < 0) std::fprintf(stderr, "vmcheck: %s: %s\n", p.c_str(), std::strerror(errno));
    if (f >= 0) close(f);
}

// A pull-up button: pressing pulls the line low.
void press(int line) { pull(line, "pull-down"); }
void release(int line) { pull(line, "pull-up"); }

// Down and up again at once: far shorter than the 2 ms debounce, even under TCG.
void glitch(int line)
{
    const std::string p = sim + "/sim_gpio" + std::to_string(line) + "/pull";
    const int f = open(p.c_str(), O_WRONLY);
    if (f < 0) return;
    if (write(f, "pull-down", 9) < 0 || write(f, "pull-up", 7) < 0) std::fprintf(stderr, "vmcheck: glitch failed\n");
    close(f);
}

// The sequence every button test plays: pause, a glitch on pause, mode.
void play()
{
    press(5);
    std::this_thread::sleep_for(200ms);
    release(5);
    std::this_thread::sleep_for(200ms);
    glitch(5);
    std::this_thread::sleep_for(200ms);
    press(4);
    std::this_thread::sleep_for(200ms);
    release(4);
    std::this_thread::sleep_for(300ms);
}

std::mutex seen_lock;
std::vector<std::string> seen;
void note(const char* what)
{
    std::lock_guard<std::mutex> g(seen_lock);
    seen.emplace_back(what);
}

std::atomic<bool> refuse_debounce{false};
std::atomic<bool> refuse_v2{false};
std::atomic<int> refused{0};

int own_debounce()
{
    refuse_debounce = true;
    if (hx_button_init(2, 5, 1, 2000) != 0 || hx_button_init(2, 4, 1, 2000) != 0) {
        std::printf("RESULT own-debounce FAIL init\n");
        return 1;
    }
    hx_button_set_callbacks(2, 5, [] { note("Pause Pressed"); }, [] { note("Pause Released"); });
    hx_button_set_callbacks(2, 4, [] { note("Mode Pressed"); }, [] { note("Mode Released"); });
    play();
    hx_button_cleanup();
    std::string got;
    for (const auto& s : seen) got += s + ";";
    const bool ok = refused == 2 && got == "Pause Pressed;Pause Released;Mode Pressed;Mode Released;";
    std::printf("RESULT own-debounce %s (%d debounce requests refused) %s\n", ok ? "PASS" : "FAIL",
                refused.load(), got.c_str());
    return ok ? 0 : 1;
}

int no_v2()
{
    refuse_v2 = true;
    // stderr into a pipe, to read the service's one line.
    int p[2];
    if (pipe(p) != 0) return 1;
    const int saved = dup(2);
    dup2(p[1], 2);
    const int rc = hx_button_init(2, 5, 1, 2000);
    dup2(saved, 2);
    close(p[1]);
    char err[256] = {};
    const ssize_t n = read(p[0], err, sizeof err - 1);
    (void)n;
    const std::string want = "ERROR in hx_button_init, can't request line 5 of /dev/gpiochip2: " +
                             std::string(std::strerror(ENOTTY)) + "\n";
    const bool ok = rc == -1 && err == want;
    std::printf("RESULT no-v2 %s %s", ok ? "PASS" : "FAIL", err);
    return ok ? 0 : 1;
}

int serial_line()
{
    if (hx_uart_init(1, 115200, 1.0f, 0, 2, 1) != 0) {
        std::printf("RESULT serial-line FAIL init\n");
        return 1;
    }
    const char text[] = "parity and two stop bits";
    char buf[64] = {};
    hx_uart_flush(1);
    const int sent = hx_uart_write(1, text, sizeof text - 1);
    const int got = hx_uart_read_bytes(1, buf, sizeof text - 1);
    hx_uart_close(1);
    const bool ok = sent == static_cast<int>(sizeof text - 1) && got == sent && std::strcmp(buf, text) == 0;
    std::printf("RESULT serial-line %s sent %d got %d \"%s\"\n", ok ? "PASS" : "FAIL", sent, got, buf);
    return ok ? 0 : 1;
}

}  // namespace

// The library's ioctl calls come here first (the executable's definition interposes).
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (refuse_v2 && request == GPIO_V2_GET_LINE_IOCTL) {
        errno = ENOTTY;
        return -1;
    }
    if (refuse_debounce && request == GPIO_V2_GET_LINE_IOCTL &&
        static_cast<gpio_v2_line_request*>(arg)->config.num_attrs > 0) {
        ++refused;
        errno = EINVAL;
        return -1;
    }
    static const auto real = reinterpret_cast<int (*)(int, unsigned long, ...)>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string what = argc > 1 ? argv[1] : "";
    if (argc > 2) sim = argv[2];
    if (what == "drive" && !sim.empty()) {
        play();
        return 0;
    }
    if (what == "own-debounce" && !sim.empty()) return own_debounce();
    if (what == "no-v2") return no_v2();
    if (what == "serial-line") return serial_line();
    std::fprintf(stderr, "usage: vmcheck drive|own-debounce SIMDIR | no-v2 | serial-line\n");
    return 2;
}
