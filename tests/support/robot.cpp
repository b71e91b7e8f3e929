// A robot program as builders write them, for the servo guardian's tests: it starts the
// servo outputs, pulses every output at 1500 us from a thread every 20 ms, forks a
// worker that does not exec (it sleeps WORKER_MS and leaves), says "ready", and at the
// first line on standard input ends as ENDING says:
//   cleanup   stops the pulses, prints "cleaning up", hx_servo_cleanup, prints
//             "cleanup took N us", returns 0
//   exit      returns from main with the pulses running, without cleanup
//   crash     dies of SIGSEGV with the pulses running
//   wait      reaps its children with wait(NULL) until none is left, prints
//             "reaped N", then cleans up as above
//   stay      keeps pulsing until a signal ends it
//
//   robot WORKER_MS ENDING
#include <hx/servo.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::atomic<bool> pulsing{true};

long long now_us()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void* pulses(void*)
{
    while (pulsing.load()) {
        hx_servo_send_pulse_us(0, 1500);
        usleep(20000);
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: robot WORKER_MS cleanup|exit|crash|wait|stay\n");
        return 2;
    }
    const int worker_ms = std::atoi(argv[1]);
    const char* ending = argv[2];
    if (hx_servo_init() != 0) return 1;
    pthread_t t;
    if (pthread_create(&t, nullptr, pulses, nullptr) != 0) return 1;
    if (worker_ms > 0 && fork() == 0) {
        usleep(static_cast<useconds_t>(worker_ms) * 1000);
        _exit(0);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char line[16];
    if (std::fgets(line, sizeof line, stdin) == nullptr) return 1;

    if (std::strcmp(ending, "exit") == 0) return 0;
    if (std::strcmp(ending, "crash") == 0) std::raise(SIGSEGV);
    if (std::strcmp(ending, "stay") == 0) {
        for (;;) pause();
    }
    if (std::strcmp(ending, "wait") == 0) {
        int reaped = 0;
        while (wait(nullptr) > 0) ++reaped;
        std::printf("reaped %d (%s)\n", reaped, std::strerror(errno));
    }
    pulsing.store(false);
    pthread_join(t, nullptr);
    std::printf("cleaning up\n");
    std::fflush(stdout);
    const long long before = now_us();
    const int rc = hx_servo_cleanup();
    std::printf("cleanup took %lld us\n", now_us() - before);
    return rc == 0 ? 0 : 1;
}
