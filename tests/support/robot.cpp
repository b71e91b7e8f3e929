// A robot program as builders write them, for the servo service's tests: it starts the
// servo outputs, sends every channel a 1500 us pulse from a thread every 20 ms, says
// "ready", and at the first line on standard input ends as ENDING says:
//   cleanup   stops the pulse thread, hx_servo_cleanup, prints "cleaned up", returns 0
//   exit      returns from main with the pulses running, without cleanup
//   crash     dies of SIGSEGV with the pulses running
//   stay      keeps pulsing until a signal ends it
//
//   robot ENDING
#include <hx/servo.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

namespace {

std::atomic<bool> pulsing{true};

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
    if (argc != 2) {
        std::fprintf(stderr, "usage: robot cleanup|exit|crash|stay\n");
        return 2;
    }
    const char* ending = argv[1];
    if (hx_servo_init() != 0) return 1;
    pthread_t t;
    if (pthread_create(&t, nullptr, pulses, nullptr) != 0) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    char line[16];
    if (std::fgets(line, sizeof line, stdin) == nullptr) return 1;

    if (std::strcmp(ending, "exit") == 0) return 0;
    if (std::strcmp(ending, "crash") == 0) std::raise(SIGSEGV);
    if (std::strcmp(ending, "stay") == 0) {
        for (;;) pause();
    }
    pulsing.store(false);
    pthread_join(t, nullptr);
    const int rc = hx_servo_cleanup();
    std::printf("cleaned up\n");
    return rc == 0 ? 0 : 1;
}
