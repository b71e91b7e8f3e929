// ESC throttle calibration: teach the ESCs the pulse range by sending maximum-width
// pulses while they power up, then minimum-width pulses until they confirm.
#include <hx/servo.h>
#include <hx/thread.h>
#include <hx/time.h>

#include <atomic>
#include <cstdio>

// Shared with the pulse thread, which re-reads both on every pulse.
static std::atomic<int> running{0};
static std::atomic<float> width{0.0f};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<float>::is_always_lock_free);

static void* __send_pulses(void* params)
{
    (void)params;
    while (running.load(std::memory_order_relaxed) != 0) {
        hx_servo_send_esc_pulse_normalized(0, width.load(std::memory_order_relaxed));
        hx_usleep(20000);
    }
    return nullptr;
}

// Any one character answers a prompt, end of input included.
static void __wait_for_user(void)
{
    (void)std::getchar();
}

int main(void)
{
    pthread_t send_pulse_thread;

    if (hx_servo_init() == -1) return -1;

    std::printf("\nDISCONNECT PROPELLERS FROM MOTORS\n");
    std::printf("DISCONNECT POWER FROM ESCS\n");
    std::printf("press enter to start sending max pulse width\n");
    __wait_for_user();

    width.store(1.0f, std::memory_order_relaxed);
    running.store(1, std::memory_order_relaxed);
    if (hx_pthread_create(&send_pulse_thread, __send_pulses, nullptr, 0, 0) == -1) return -1;

    std::printf("\n");
    std::printf("Now apply power to the ESCs.\n");
    std::printf("Press enter again after the ESCs finish chirping\n");
    __wait_for_user();

    std::printf("\n");
    std::printf("Sending minimum width pulses\n");
    std::printf("Press enter again after the ESCs chirp to finish calibration\n");
    width.store(0.0f, std::memory_order_relaxed);
    __wait_for_user();

    std::printf("\nCalibration complete, check with hx_throttle_check\n");
    running.store(0, std::memory_order_relaxed);
    hx_pthread_timed_join(send_pulse_thread, nullptr, 1.0);
    hx_servo_cleanup();
    return 0;
}
