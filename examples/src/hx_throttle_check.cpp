// ESC throttle check: after hx_throttle_cal, with the propellers off, a person moves the
// throttle by hand and hears the ESCs answer over the range they learned. It starts at
// minimum and never jumps: each key moves the throttle asked for by one step, and the
// pulses follow it by at most one step a pulse. End of input, q, Ctrl-C or SIGTERM bring
// it back to minimum the same way, hold it there a moment, and stop every output.
//
//   hx_throttle_check [CHANNEL]      servo channel 1 to 8; all eight without one
#include <hx/servo.h>
#include <hx/thread.h>
#include <hx/time.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <termios.h>
#include <unistd.h>

static constexpr int steps = 100;          // minimum (0) to full throttle (100), 1% a step
static constexpr int pulse_us = 20000;     // a pulse every 20 ms
static constexpr int minimum_pulses = 10;  // at minimum before the outputs stop: 200 ms

static int channel = HX_SERVO_ALL;
static std::atomic<int> running{0};  // the pulse thread goes on while not 0
static std::atomic<int> wanted{0};      // the throttle asked for, in steps
static std::atomic<int> at_minimum{0};  // pulses in a row sent at minimum
static volatile sig_atomic_t ending = 0;  // SIGINT or SIGTERM came

// The first pulse is at minimum, whatever was asked before it; each later one a step
// nearer what is asked.
static void* __send_pulses(void* params)
{
    (void)params;
    int now = 0;
    while (running.load() != 0) {
        hx_servo_send_esc_pulse_normalized(channel, now / static_cast<double>(steps));
        at_minimum.store(now == 0 ? at_minimum.load() + 1 : 0);
        hx_usleep(pulse_us);
        const int want = wanted.load();
        now += now < want ? 1 : now > want ? -1 : 0;
    }
    return nullptr;
}

static void __signal_handler(int dummy)
{
    (void)dummy;
    ending = 1;
}

static void __print_usage(void)
{
    std::printf("\nUsage: hx_throttle_check [channel]\n");
    std::printf("With the propellers off, moves the ESC throttle one step a key press, on servo\n");
    std::printf("channel 1 to 8, or on all eight when no channel is given.\n\n");
}

static void __show(int want)
{
    std::printf("\rthrottle %3d%% (%4d us)", want, 1000 + 10 * want);
    std::fflush(stdout);
}

int main(int argc, char** argv)
{
    if (argc > 2) {
        __print_usage();
        return -1;
    }
    if (argc == 2) {
        char* end = nullptr;
        const long ch = std::strtol(argv[1], &end, 10);
        if (*argv[1] == '\0' || *end != '\0' || ch < 1 || ch > HX_SERVO_CHANNELS) {
            __print_usage();
            return -1;
        }
        channel = static_cast<int>(ch);
    }
    if (hx_servo_init() == -1) return -1;

    // Ctrl-C and SIGTERM end the check the way q does; a read they interrupt returns.
    struct sigaction on_end{};
    on_end.sa_handler = __signal_handler;
    sigemptyset(&on_end.sa_mask);
    sigaction(SIGINT, &on_end, nullptr);
    sigaction(SIGTERM, &on_end, nullptr);

    // One key at a time, unechoed, where standard input is a terminal.
    termios saved{};
    const bool terminal = tcgetattr(0, &saved) == 0;
    if (terminal) {
        termios keys = saved;
        keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        keys.c_cc[VMIN] = 1;
        keys.c_cc[VTIME] = 0;
        tcsetattr(0, TCSANOW, &keys);
    }

    std::printf("\nDISCONNECT PROPELLERS FROM MOTORS\n");
    if (channel == HX_SERVO_ALL) std::printf("throttle check on all eight servo channels\n");
    else std::printf("throttle check on servo channel %d\n", channel);
    std::printf("+ or up arrow: 1%% more, - or down arrow: 1%% less, 0: minimum, q: quit\n");

    pthread_t send_pulse_thread;
    running.store(1);
    if (hx_pthread_create(&send_pulse_thread, __send_pulses, nullptr, 0, 0) == -1) {
        if (terminal) tcsetattr(0, TCSANOW, &saved);
        hx_servo_cleanup();
        return -1;
    }
    __show(0);
    int escape = 0;  // how far into an arrow key's ESC [ A or ESC [ B
    while (ending == 0) {
        char c = 0;
        const ssize_t n = read(0, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        // Ctrl-D arrives as itself with the terminal in key-at-a-time mode: end of input.
        if (n <= 0 || c == 'q' || c == 'Q' || c == 4) break;
        int want = wanted.load();
        if (escape == 1) {
            escape = c == '[' ? 2 : 0;
            continue;
        }
        if (escape == 2) {
            escape = 0;
            c = c == 'A' ? '+' : c == 'B' ? '-' : 0;
        }
        if (c == 27) escape = 1;
        else if (c == '+' || c == '=') want = want < steps ? want + 1 : steps;
        else if (c == '-' || c == '_') want = want > 0 ? want - 1 : 0;
        else if (c == '0') want = 0;
        else continue;
        wanted.store(want);
        __show(want);
    }

    // Back to minimum a step a pulse, then held there, then every output stopped.
    wanted.store(0);
    __show(0);
    while (at_minimum.load() < minimum_pulses) hx_usleep(pulse_us);
    running.store(0);
    hx_pthread_timed_join(send_pulse_thread, nullptr, 1.0);
    hx_servo_cleanup();
    if (terminal) tcsetattr(0, TCSANOW, &saved);
    std::printf("\nthrottle back at minimum; every output stopped\n");
    return 0;
}
