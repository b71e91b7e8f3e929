#include "servo_guard.h"

#include "../sys/deadline.h"
#include "hx/servo.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sched.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
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
int lifeline = -1;  // write end of the lifeline: the program's alone
int guardian_end = -1;  // read end of the guardian's pipe: end of file once it is gone
pthread_once_t atfork_once = PTHREAD_ONCE_INIT;

using hx::deadline::now_ns;

// In every child the program forks (a worker that does not exec, or the guardian's own
// parent): drop the program's ends, so that the lifeline ends with the program itself
// and not with its last child. The mapping stays; the child just stops using it.
void forked_child()
{
    if (lifeline >= 0) close(lifeline);
    if (guardian_end >= 0) close(guardian_end);
    lifeline = guardian_end = -1;
    page = nullptr;
}

void register_atfork() { pthread_atfork(nullptr, nullptr, forked_child); }

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

void stop_output(const guarded& o)
{
    quiet_write(o.dir, "duty_cycle", "0");
    quiet_write(o.dir, "enable", "0");
}

// Close every descriptor from low up. close_range came with Linux 5.9 (ENOSYS before,
// as on the vendor 4.x kernels, and C libraries before 2.34 lack its wrapper); there the
// descriptors /proc lists are closed one by one, read with getdents64 into the stack.
void close_from(int low)
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, static_cast<unsigned>(low), ~0U, 0U) == 0) return;
#endif
    const int d = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d < 0) {
        // No /proc: every number the limit allows, up to a sane bound.
        rlimit r{};
        const rlim_t top = getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < 65536 ? r.rlim_cur : 65536;
        for (int fd = low; fd < static_cast<int>(top); ++fd) close(fd);
        return;
    }
    struct dirent64_header {
        uint64_t ino;
        int64_t off;
        unsigned short reclen;
        unsigned char type;
    };
    alignas(8) char buf[2048];
    for (;;) {
        const long n = syscall(SYS_getdents64, d, buf, sizeof buf);
        if (n <= 0) break;
        // /proc lists descriptors in order of number, so closing them as they come is safe.
        for (long at = 0; at < n;) {
            dirent64_header h;
            std::memcpy(&h, buf + at, sizeof h);
            const char* name = buf + at + offsetof(dirent64_header, type) + 1;
            int fd = 0;
            bool number = name[0] != '\0';
            for (const char* c = name; *c != '\0'; ++c) {
                if (*c < '0' || *c > '9') number = false;
                else fd = fd * 10 + (*c - '0');
            }
            if (number && fd >= low && fd != d) close(fd);
            at += h.reclen;
        }
    }
    close(d);
}

// The guardian is a fork of a program that may have had other threads and handlers of
// its own: it starts (with every signal still blocked from the fork) from default
// dispositions, ignores what a terminal or a service manager sends to a whole process
// group or unit (Ctrl-C, hang-up, SIGTERM to every process of a unit), and only then
// takes signals: it must outlive the program to stop the outputs. It ends by itself as
// soon as the program is gone.
void become_deaf()
{
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &dfl, nullptr);
    }
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGTSTP, SIGTTOU, SIGTTIN, SIGPIPE, SIGUSR1, SIGUSR2})
        sigaction(sig, &ignore, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] void guard(shared_page* pg, const guarded* outputs, int n, int life, int mine)
{
    // Out of the terminal's foreground group: a Ctrl-C that ends the program does not
    // reach the guardian.
    setpgid(0, 0);
    become_deaf();
    // The lowest real-time priority, where the system allows it (root, CAP_SYS_NICE or
    // an rtprio limit): a stop must not wait behind a busy CPU. The guardian sleeps in
    // poll between looks, so it takes next to no time from anything else.
    sched_param rt{};
    rt.sched_priority = 1;
    sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &rt);
    // Hold nothing of the program's but the two pipe ends, as 3 and 4 (moved out of the
    // way first: with standard input closed, a pipe may have come as descriptor 0): no
    // terminal, no bus, no GPIO line.
    const int life_hi = fcntl(life, F_DUPFD_CLOEXEC, 10);
    const int mine_hi = fcntl(mine, F_DUPFD_CLOEXEC, 10);
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int std_fd = 0; std_fd < 3; ++std_fd) {
        if (null >= 0) dup2(null, std_fd);
        else close(std_fd);
    }
    dup2(life_hi, 3);
    dup2(mine_hi, 4);
    close_from(5);
    // Named last: a guardian that goes by its name has settled its signals and
    // descriptors.
    prctl(PR_SET_NAME, "hx-servo-guard");

    for (;;) {
        pollfd p{3, POLLIN, 0};
        // Nothing is ever written to the lifeline: readable means end of file.
        if (poll(&p, 1, 5) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) break;
        const int64_t now = now_ns();
        for (int i = 0; i < n; ++i) {
            if (!outputs[i].started || now - pg->last_pulse[i].load() <= idle_ns) continue;
            int expected = live_state;
            if (!pg->state[i].compare_exchange_strong(expected, stopping_state)) continue;
            // A pulse, or the program's own cleanup, may have come between the look and
            // the claim: then the output is not the guardian's to stop.
            if (pg->released.load() != 0 || now_ns() - pg->last_pulse[i].load() <= idle_ns) {
                pg->state[i].store(live_state);
                continue;
            }
            stop_output(outputs[i]);
            pg->state[i].store(stopped_state);
        }
    }
    if (pg->released.load() == 0) {
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

int fail(int err)
{
    std::fprintf(stderr, "ERROR in hx_servo_init, can't start the output guardian: %s\n", std::strerror(err));
    return -1;
}

}  // namespace

int start(const guarded* outputs, int n)
{
    pthread_once(&atfork_once, register_atfork);
    void* m = mmap(nullptr, sizeof(shared_page), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return fail(errno);
    int life[2] = {-1, -1}, back[2] = {-1, -1};
    if (pipe2(life, O_CLOEXEC) != 0 || pipe2(back, O_CLOEXEC) != 0) {
        const int saved = errno;
        for (int fd : {life[0], life[1], back[0], back[1]})
            if (fd >= 0) close(fd);
        munmap(m, sizeof(shared_page));
        return fail(saved);
    }
    auto* pg = new (m) shared_page{};
    const int64_t now = now_ns();  // starting counts as a zero-width pulse
    for (int i = 0; i < n; ++i) pg->last_pulse[i].store(now);
    // Set before the fork, so that the children drop them (forked_child).
    lifeline = life[1];
    guardian_end = back[0];
    // Every signal blocked across the forks: a SIGTERM to all of the program's processes
    // that comes before the guardian has made itself deaf waits, and is then discarded.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    const pid_t between = fork();
    if (between == 0) {
        // The child between: fork the guardian and leave, handing on fork's errno.
        const pid_t g = fork();
        if (g == 0) guard(pg, outputs, n, life[0], back[1]);
        _exit(g < 0 ? errno : 0);
    }
    const int fork_errno = errno;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    close(life[0]);
    close(back[1]);
    int status = 0;
    pid_t r;
    while ((r = waitpid(between, &status, 0)) < 0 && errno == EINTR) {
    }
    // Where the program ignores SIGCHLD or reaps children itself, the status is lost
    // (ECHILD): then the guardian's pipe says whether it started.
    int err = between < 0 ? fork_errno : r == between && WIFEXITED(status) ? WEXITSTATUS(status) : 0;
    page = pg;
    if (err == 0 && !alive()) err = ECHILD;
    if (err != 0) {
        close(lifeline);
        close(guardian_end);
        lifeline = guardian_end = -1;
        page = nullptr;
        munmap(m, sizeof(shared_page));
        return fail(err);
    }
    return 0;
}

bool alive()
{
    if (page == nullptr || guardian_end < 0) return true;
    // Nothing is ever written to the guardian's pipe: readable means it has ended.
    pollfd p{guardian_end, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
}

void fresh(int i)
{
    if (page != nullptr) page->last_pulse[i].store(now_ns());
}

bool stopped(int i)
{
    if (page == nullptr) return false;
    // The guardian takes a few milliseconds at most to finish a stop; one that died in
    // the middle of it is not waited for.
    for (int wait = 0; wait < 200 && page->state[i].load() == stopping_state && alive(); ++wait) usleep(500);
    return page->state[i].load() != live_state;
}

void live(int i)
{
    if (page != nullptr) page->state[i].store(live_state);
}

void keep_off(int i)
{
    if (page == nullptr) return;
    // While the guardian has the output claimed (it then stops it, or gives it back when
    // a pulse came meanwhile; two writes at most, at real-time priority where it may),
    // wait for it: up to a second, unless it has died.
    for (int wait = 0; wait < 2000; ++wait) {
        int expected = live_state;
        if (page->state[i].compare_exchange_strong(expected, stopped_state) || expected == stopped_state || !alive())
            return;
        usleep(500);
    }
}

void end()
{
    if (page == nullptr) return;
    page->released.store(1);
    close(lifeline);
    close(guardian_end);
    lifeline = guardian_end = -1;
    munmap(page, sizeof(shared_page));
    page = nullptr;
}

}  // namespace hx::servo_guard
