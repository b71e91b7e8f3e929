#include "servo_guard.h"

#include "hx/servo.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace hx::servo_guard {

namespace {

enum state : int { live_state, stopping_state, stopped_state };

// Lock-free atomics are address-free, so they work between processes.
struct shared_page {
    std::array<std::atomic<int64_t>, HX_SERVO_CHANNELS> last_pulse;
    std::array<std::atomic<int>, HX_SERVO_CHANNELS> state;
    std::atomic<int> released;  // the program has taken the outputs back
};
static_assert(std::atomic<int64_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

shared_page* page = nullptr;
pid_t guardian = -1;
int lifeline = -1;  // the write end; closed with the program

int64_t now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The guardian's writes: no stdio, no allocation (it is a fork of a program that may
// have had other threads), failures ignored.
void quiet_write(const char* dir, const char* attr, const char* text)
{
    char path[path_max + 16];
    std::snprintf(path, sizeof path, "%s/%s", dir, attr);
    const int f = open(path, O_WRONLY | O_CLOEXEC);
    if (f < 0) return;
    if (write(f, text, std::strlen(text)) < 0) {
    }
    close(f);
}

void stop_output(const pwm_output& o)
{
    quiet_write(o.dir, "duty_cycle", "0");
    quiet_write(o.dir, "enable", "0");
}

[[noreturn]] void guard(const pwm_output* outputs, int n, int fd)
{
    // Out of the terminal's foreground group and deaf to its signals: a Ctrl-C that
    // ends the program must leave the guardian to stop the outputs.
    setpgid(0, 0);
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTSTP, SIGTTOU, SIGTTIN, SIGPIPE}) sigaction(sig, &ignore, nullptr);
    prctl(PR_SET_NAME, "hx-servo-guard");
    // Hold nothing of the program's but the lifeline (moved out of the way first: with
    // standard input closed, the pipe may have come as descriptor 0): no terminal, no bus.
    const int life = fcntl(fd, F_DUPFD, 10);
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int std_fd = 0; std_fd < 3; ++std_fd) {
        if (null >= 0) dup2(null, std_fd);
        else close(std_fd);
    }
    dup2(life >= 0 ? life : fd, 3);
    close_range(4, ~0U, 0);

    for (;;) {
        pollfd p{3, POLLIN, 0};
        // Nothing is ever written to the pipe: readable means end of file.
        if (poll(&p, 1, 5) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) break;
        const int64_t now = now_ns();
        for (int i = 0; i < n; ++i) {
            if (!outputs[i].started || now - page->last_pulse[i].load() <= idle_ns) continue;
            int expected = live_state;
            if (!page->state[i].compare_exchange_strong(expected, stopping_state)) continue;
            // A pulse may have come between the look and the claim: then it stays live.
            if (now_ns() - page->last_pulse[i].load() <= idle_ns) {
                page->state[i].store(live_state);
                continue;
            }
            stop_output(outputs[i]);
            page->state[i].store(stopped_state);
        }
    }
    if (page->released.load() == 0) {
        for (int i = 0; i < n; ++i) {
            if (!outputs[i].started) continue;
            stop_output(outputs[i]);
            if (outputs[i].exported) {
                char k[4];
                std::snprintf(k, sizeof k, "%d", outputs[i].k);
                quiet_write(outputs[i].chip, "unexport", k);
            }
        }
    }
    _exit(0);
}

}  // namespace

int start(const pwm_output* outputs, int n)
{
    void* m = mmap(nullptr, sizeof(shared_page), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    int p[2] = {-1, -1};
    if (m == MAP_FAILED || pipe2(p, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "ERROR in hx_servo_init, can't start the output guardian: %s\n", std::strerror(errno));
        if (m != MAP_FAILED) munmap(m, sizeof(shared_page));
        return -1;
    }
    page = new (m) shared_page{};
    const int64_t now = now_ns();  // starting counts as a zero-width pulse
    for (int i = 0; i < n; ++i) page->last_pulse[i].store(now);
    const pid_t pid = fork();
    if (pid == 0) {
        close(p[1]);
        guard(outputs, n, p[0]);
    }
    const int saved = errno;
    close(p[0]);
    if (pid < 0) {
        std::fprintf(stderr, "ERROR in hx_servo_init, can't start the output guardian: %s\n", std::strerror(saved));
        close(p[1]);
        munmap(m, sizeof(shared_page));
        page = nullptr;
        return -1;
    }
    guardian = pid;
    lifeline = p[1];
    return 0;
}

void fresh(int i)
{
    if (page != nullptr) page->last_pulse[i].store(now_ns());
}

bool stopped(int i)
{
    if (page == nullptr) return false;
    // The guardian takes a few milliseconds at most to finish a stop.
    for (int wait = 0; wait < 200 && page->state[i].load() == stopping_state; ++wait) usleep(500);
    return page->state[i].load() == stopped_state;
}

void live(int i)
{
    if (page != nullptr) page->state[i].store(live_state);
}

void end()
{
    if (page == nullptr) return;
    page->released.store(1);
    close(lifeline);
    lifeline = -1;
    // The guardian leaves at once; the program may have reaped it already (SIGCHLD
    // ignored, or its own wait()).
    while (waitpid(guardian, nullptr, 0) < 0 && errno == EINTR) {
    }
    guardian = -1;
    munmap(page, sizeof(shared_page));
    page = nullptr;
}

}  // namespace hx::servo_guard
