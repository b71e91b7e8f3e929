// The fake board: an alternative libhalvex.so.1 holding the board services that the
// programs call. Each call is recorded, with its arguments and a monotonic timestamp in
// microseconds, as one line of the file named by HX_FAKE_LOG; results, serial replies
// and button events come from the script named by HX_FAKE_SCRIPT. A test puts this
// library's directory first on LD_LIBRARY_PATH and runs the real, unchanged programs.
//
// Script lines (all optional; unscripted calls succeed and reads time out):
//   uart_init RC                  result of hx_uart_init
//   read_bytes RC [TEXT]          next hx_uart_read_bytes: copy TEXT, return RC
//   read_line RC [TEXT]           next hx_uart_read_line: likewise
//   servo_init RC                 result of hx_servo_init
//   pthread_create RC             result of hx_pthread_create (no thread when -1)
//   button_init CHIP PIN RC       result of hx_button_init for that button
//   button MS CHIP PIN press|release   fire MS ms after the first hx_button_set_callbacks
//   sigint_after_signal           raise SIGINT as soon as the program installs a handler
//   slow_print MS TEXT            a line TEXT printed with puts takes MS ms to appear
//
// The fake board also stands in for the C library's signal and puts (where the
// sanitizers' runtimes do not intercept them first): it records "signal SIGNUM" and,
// when a script holds a line back, "puts TEXT" once each line is out; it can raise SIGINT the moment a handler is in (a
// Ctrl-C at the worst time), and can hold a line back, so that a test sees what a
// program does before and after printing it.
#include <hx/button.h>
#include <hx/serial.h>
#include <hx/servo.h>
#include <hx/thread.h>
#include <hx/time.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <dlfcn.h>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct read_reply {
    int rc;
    std::string text;
};
struct button_event {
    int ms;
    int chip;
    int pin;
    bool press;
};
struct callbacks {
    void (*press)(void) = nullptr;
    void (*release)(void) = nullptr;
};

struct board {
    std::mutex lock;
    int log_fd = -1;
    int uart_init_rc = 0;
    int servo_init_rc = 0;
    int pthread_create_rc = 0;
    bool sigint_after_signal = false;
    std::map<std::string, int> slow_print;  // line -> ms
    std::deque<read_reply> read_bytes, read_line;
    std::map<std::pair<int, int>, int> button_init_rc;
    std::vector<button_event> events;
    std::map<std::pair<int, int>, callbacks> buttons;
    std::thread player;
    std::atomic<bool> stop{false};
    bool player_started = false;

    board()
    {
        if (const char* log = std::getenv("HX_FAKE_LOG"))
            log_fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const char* script = std::getenv("HX_FAKE_SCRIPT");
        if (script == nullptr) return;
        std::ifstream in(script);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream s(line);
            std::string key;
            s >> key;
            auto rest = [&s] {
                std::string t;
                std::getline(s, t);
                return t.empty() ? t : t.substr(1);
            };
            if (key == "uart_init") s >> uart_init_rc;
            else if (key == "servo_init") s >> servo_init_rc;
            else if (key == "pthread_create") s >> pthread_create_rc;
            else if (key == "read_bytes" || key == "read_line") {
                read_reply r{};
                s >> r.rc;
                r.text = rest();
                (key == "read_bytes" ? read_bytes : read_line).push_back(r);
            } else if (key == "button_init") {
                int chip, pin, rc;
                s >> chip >> pin >> rc;
                button_init_rc[{chip, pin}] = rc;
            } else if (key == "slow_print") {
                int ms = 0;
                s >> ms;
                slow_print[rest()] = ms;
            } else if (key == "sigint_after_signal") {
                sigint_after_signal = true;
            } else if (key == "button") {
                button_event e{};
                std::string what;
                s >> e.ms >> e.chip >> e.pin >> what;
                e.press = what == "press";
                events.push_back(e);
            }
        }
    }

    ~board()
    {
        stop = true;
        if (player.joinable()) player.join();
    }
};

board& the_board()
{
    static board b;
    return b;
}

long long now_us()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// One line per call: "<microseconds> <name> <arguments>".
void record(const char* fmt, ...)
{
    board& b = the_board();
    char line[512];
    int n = std::snprintf(line, sizeof line, "%lld ", now_us());
    va_list ap;
    va_start(ap, fmt);
    n += std::vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, fmt, ap);
    va_end(ap);
    if (n > static_cast<int>(sizeof line) - 2) n = static_cast<int>(sizeof line) - 2;
    line[n++] = '\n';
    if (b.log_fd >= 0 && write(b.log_fd, line, static_cast<size_t>(n)) < 0) std::abort();
}

int reply(std::deque<read_reply>& q, void* buf, int max)
{
    std::lock_guard<std::mutex> g(the_board().lock);
    if (q.empty()) return 0;
    const read_reply r = q.front();
    q.pop_front();
    std::memcpy(buf, r.text.data(), std::min(r.text.size(), static_cast<size_t>(max)));
    return r.rc;
}

void play()
{
    board& b = the_board();
    const auto start = std::chrono::steady_clock::now();
    for (const button_event& e : b.events) {
        const auto at = start + std::chrono::milliseconds(e.ms);
        while (!b.stop && std::chrono::steady_clock::now() < at)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (b.stop) return;
        callbacks cb;
        {
            std::lock_guard<std::mutex> g(b.lock);
            cb = b.buttons[{e.chip, e.pin}];
        }
        record("button_event %d %d %s", e.chip, e.pin, e.press ? "press" : "release");
        void (*f)(void) = e.press ? cb.press : cb.release;
        if (f != nullptr) f();
    }
}

}  // namespace

extern "C" {

int hx_uart_init(int bus, int baudrate, float timeout_s, int canonical_en, int stop_bits, int parity_en)
{
    record("hx_uart_init %d %d %g %d %d %d", bus, baudrate, static_cast<double>(timeout_s),
           canonical_en, stop_bits, parity_en);
    return the_board().uart_init_rc;
}

int hx_uart_close(int bus)
{
    record("hx_uart_close %d", bus);
    return 0;
}

int hx_uart_flush(int bus)
{
    record("hx_uart_flush %d", bus);
    return 0;
}

int hx_uart_write(int bus, const void* data, int bytes)
{
    record("hx_uart_write %d %d %.*s", bus, bytes, bytes, static_cast<const char*>(data));
    return bytes;
}

int hx_uart_read_bytes(int bus, void* buf, int bytes)
{
    record("hx_uart_read_bytes %d %d", bus, bytes);
    return reply(the_board().read_bytes, buf, bytes);
}

int hx_uart_read_line(int bus, void* buf, int max_bytes)
{
    record("hx_uart_read_line %d %d", bus, max_bytes);
    return reply(the_board().read_line, buf, max_bytes);
}

int hx_servo_init(void)
{
    record("hx_servo_init");
    return the_board().servo_init_rc;
}

int hx_servo_send_pulse_us(int ch, int us)
{
    record("hx_servo_send_pulse_us %d %d", ch, us);
    return 0;
}

int hx_servo_send_esc_pulse_normalized(int ch, double width)
{
    record("hx_servo_send_esc_pulse_normalized %d %g", ch, width);
    return 0;
}

int hx_servo_power_rail(int on)
{
    record("hx_servo_power_rail %d", on);
    return 0;
}

int hx_servo_cleanup(void)
{
    record("hx_servo_cleanup");
    return 0;
}

int hx_pthread_create(pthread_t* thread, void* (*func)(void*), void* arg, int policy, int priority)
{
    record("hx_pthread_create %s %d %d", arg == nullptr ? "null" : "arg", policy, priority);
    if (the_board().pthread_create_rc != 0) return the_board().pthread_create_rc;
    return pthread_create(thread, nullptr, func, arg) == 0 ? 0 : -1;
}

int hx_pthread_timed_join(pthread_t thread, void** result, float timeout_s)
{
    record("hx_pthread_timed_join %s %g", result == nullptr ? "null" : "ptr",
           static_cast<double>(timeout_s));
    // The wall-clock variant: ThreadSanitizer knows it, and the fake's clock is never set.
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    const long long ns = deadline.tv_nsec + static_cast<long long>(static_cast<double>(timeout_s) * 1e9);
    deadline.tv_sec += static_cast<time_t>(ns / 1000000000LL);
    deadline.tv_nsec = static_cast<long>(ns % 1000000000LL);
    const int rc = pthread_timedjoin_np(thread, result, &deadline);
    record("joined %s", rc == 0 ? "done" : "timed-out");
    return rc == 0 ? HX_JOIN_DONE : HX_JOIN_TIMED_OUT;
}

int hx_usleep(unsigned int us)
{
    record("hx_usleep %u", us);
    std::this_thread::sleep_for(std::chrono::microseconds(us));
    return 0;
}

// The library's own version: what it stands in for.
const char* hx_version(void) { return HX_LIBRARY_VERSION; }

int hx_button_init(int chip, int pin, int polarity, int debounce_us)
{
    record("hx_button_init %d %d %d %d", chip, pin, polarity, debounce_us);
    board& b = the_board();
    std::lock_guard<std::mutex> g(b.lock);
    const auto it = b.button_init_rc.find({chip, pin});
    const int rc = it == b.button_init_rc.end() ? 0 : it->second;
    if (rc == 0) b.buttons[{chip, pin}] = callbacks{};
    return rc;
}

int hx_button_set_callbacks(int chip, int pin, void (*press)(void), void (*release)(void))
{
    record("hx_button_set_callbacks %d %d", chip, pin);
    board& b = the_board();
    std::lock_guard<std::mutex> g(b.lock);
    b.buttons[{chip, pin}] = callbacks{press, release};
    if (!b.player_started) {
        b.player_started = true;
        b.player = std::thread(play);
    }
    return 0;
}

int hx_button_cleanup(void)
{
    record("hx_button_cleanup");
    board& b = the_board();
    b.stop = true;
    if (b.player.joinable() && b.player.get_id() != std::this_thread::get_id()) b.player.join();
    return 0;
}

using signal_fn = void (*)(int);

signal_fn signal(int signum, signal_fn handler)
{
    record("signal %d", signum);
    const auto real = reinterpret_cast<signal_fn (*)(int, signal_fn)>(dlsym(RTLD_NEXT, "signal"));
    const signal_fn old = real(signum, handler);
    if (the_board().sigint_after_signal && signum == SIGINT) raise(SIGINT);
    return old;
}

int puts(const char* text)
{
    const auto slow = the_board().slow_print.find(text);
    if (slow != the_board().slow_print.end()) std::this_thread::sleep_for(std::chrono::milliseconds(slow->second));
    const int rc = reinterpret_cast<int (*)(const char*)>(dlsym(RTLD_NEXT, "puts"))(text);
    if (!the_board().slow_print.empty()) record("puts %s", text);
    return rc;
}

}  // extern "C"
