// Button press monitor: print a line for every press and release of the pause and
// mode buttons until interrupted with Ctrl-C.
#include <hx/button.h>
#include <hx/time.h>

#include <atomic>
#include <csignal>
#include <cstdio>

// Written by the signal handler, re-read by the wait loop.
static std::atomic<int> running{0};
static_assert(std::atomic<int>::is_always_lock_free);

static void __on_pause_press(void) { std::printf("Pause Pressed\n"); }
static void __on_pause_release(void) { std::printf("Pause Released\n"); }
static void __on_mode_press(void) { std::printf("Mode Pressed\n"); }
static void __on_mode_release(void) { std::printf("Mode Released\n"); }

static void __signal_handler(int dummy)
{
    (void)dummy;
    running.store(0, std::memory_order_relaxed);
}

int main(void)
{
    if (hx_button_init(2, 5, 1, 2000)) {
        std::fprintf(stderr, "ERROR: failed to init buttons\n");
        return -1;
    }
    if (hx_button_init(2, 4, 1, 2000)) {
        std::fprintf(stderr, "ERROR: failed to init buttons\n");
        return -1;
    }

    // running is set before the handler goes in, so that a Ctrl-C that comes at once
    // is not overwritten and lost.
    running.store(1, std::memory_order_relaxed);
    std::signal(SIGINT, __signal_handler);

    hx_button_set_callbacks(2, 5, __on_pause_press, __on_pause_release);
    hx_button_set_callbacks(2, 4, __on_mode_press, __on_mode_release);

    std::printf("Press buttons to see response\n");
    while (running.load(std::memory_order_relaxed) != 0) hx_usleep(500000);

    hx_button_cleanup();
    return 0;
}
