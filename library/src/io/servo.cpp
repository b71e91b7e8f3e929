// Servo/ESC service: one request a call into PRU core 1's data RAM, where the servo
// firmware (firmware/servo.s) turns each into one pulse on the channels it names.
#include "hx/servo.h"

#include "hx/pru.h"
#include "hx/time.h"

#include "../pru/memory.h"
#include "gpio.h"

#include <cstdint>
#include <cstdio>
#include <pthread.h>

namespace {

constexpr const char* fw_name = "am335x-pru1-hx-servo-fw";
constexpr int core = 1;

// The protocol's words in the core's data RAM (firmware/servo.s says what each means).
constexpr int ready_word = 0, stop_word = 1, taken_word = 2, tick_word = 3;
constexpr int ring_word = 0x40 / 4, slot_words = 32 / 4;
constexpr uint32_t slots = 16;
constexpr int protocol_words = ring_word + static_cast<int>(slots) * slot_words;
constexpr uint32_t start_marker = 42, stop_asked = 1, stop_done = 2;
constexpr uint32_t tick_cycles = 200;  // 1 us at 200 MHz
constexpr int handshake_looks = 40;
constexpr unsigned handshake_sleep_us = 100000;
// The firmware answers a stop within a microsecond; a second is for a loaded machine
// (or the simulated board's PRU core model) to get round to it.
constexpr int stop_looks = 1000;
constexpr unsigned stop_sleep_us = 1000;

constexpr int max_pulse_us = 19999;
constexpr int esc_min_us = 1000;
constexpr int esc_span_us = 1000;
constexpr int rail_bank = 2, rail_line = 16;

volatile uint32_t* ram = nullptr;  // PRU core 1's data RAM
int init_flag = 0;
uint32_t head = 0;  // requests written since the firmware started
pthread_mutex_t sending = PTHREAD_MUTEX_INITIALIZER;
hx::gpio::output rail;

// The rail driven at value, requested first where it is not held yet.
int drive_rail(const char* who, int value)
{
    if (rail.fd >= 0) return hx::gpio::set(who, rail, value);
    return hx::gpio::request_output(who, rail_bank, rail_line, value, rail);
}

void release_rail()
{
    if (rail.fd < 0) return;
    hx::gpio::set("hx_servo_cleanup", rail, 0);
    hx::gpio::release(rail);
}

// Stops the core once the firmware has driven every output low; false when it did not
// answer in time (the core is stopped all the same).
bool stop_firmware()
{
    ram[stop_word] = stop_asked;
    bool answered = false;
    for (int look = 0; look < stop_looks && !answered; ++look) {
        answered = ram[stop_word] == stop_done;
        if (!answered) hx_usleep(stop_sleep_us);
    }
    hx_pru_stop(core);
    return answered;
}

}  // namespace

extern "C" {

int hx_servo_init(void)
{
    constexpr const char* who = "hx_servo_init";
    if (init_flag) return 0;
    ram = hx::pru::memory(hx::pru::region::core1_data, who);
    if (ram == nullptr) return -1;
    // An image still running could take requests or answer the handshake: stop the core
    // first, then lay out the protocol, then start.
    hx_pru_stop(core);
    for (int w = 0; w < protocol_words; ++w) ram[w] = 0;
    ram[ready_word] = start_marker;
    if (hx_pru_start(core, fw_name) != 0) {
        std::fprintf(stderr, "ERROR in %s, failed to start PRU%d\n", who, core);
        return -1;
    }
    int look = 0;
    while (ram[ready_word] != 0 && look < handshake_looks) {
        hx_usleep(handshake_sleep_us);
        ++look;
    }
    if (ram[ready_word] != 0) {
        std::fprintf(stderr, "ERROR in %s, %s failed to load\n", who, fw_name);
        std::fprintf(stderr, "attempting to stop PRU%d\n", core);
        hx_pru_stop(core);
        return -1;
    }
    if (const uint32_t tick = ram[tick_word]; tick != tick_cycles) {
        std::fprintf(stderr,
                     "ERROR in %s, the servo firmware's loop takes %u PRU cycles, not %u: its pulses would be "
                     "%u/%u of their width\n",
                     who, tick, tick_cycles, tick, tick_cycles);
        stop_firmware();
        return -1;
    }
    head = 0;
    // Off, where the board lets the service have the line; quietly kept as it was where
    // not (hx_servo_power_rail says why when asked).
    if (rail.fd < 0) hx::gpio::request_output(nullptr, rail_bank, rail_line, 0, rail);
    else hx::gpio::set(who, rail, 0);
    init_flag = 1;
    return 0;
}

int hx_servo_send_pulse_us(int ch, int us)
{
    constexpr const char* who = "hx_servo_send_pulse_us";
    if (!init_flag) {
        std::fprintf(stderr, "ERROR in %s, call hx_servo_init first\n", who);
        return -1;
    }
    if (ch < 0 || ch > HX_SERVO_CHANNELS) {
        std::fprintf(stderr, "ERROR in %s, channel must be 0 (all) to %d\n", who, HX_SERVO_CHANNELS);
        return -1;
    }
    if (us < 1 || us > max_pulse_us) {
        std::fprintf(stderr, "ERROR in %s, pulse must be 1 to %d us\n", who, max_pulse_us);
        return -1;
    }
    // Two 16-bit widths a word, channel 1 in the low half of the first; 0 for a channel
    // not named.
    uint32_t widths[HX_SERVO_CHANNELS / 2] = {};
    for (int c = 0; c < HX_SERVO_CHANNELS; ++c)
        if (ch == HX_SERVO_ALL || ch == c + 1) widths[c / 2] |= static_cast<uint32_t>(us) << (16 * (c % 2));
    pthread_mutex_lock(&sending);
    if (head - ram[taken_word] >= slots) {
        pthread_mutex_unlock(&sending);
        std::fprintf(stderr, "ERROR in %s, the servo firmware on PRU%d has taken none of the last %u requests: is it "
                             "running?\n",
                     who, core, slots);
        return -1;
    }
    volatile uint32_t* slot = ram + ring_word + (head % slots) * slot_words;
    for (int w = 0; w < HX_SERVO_CHANNELS / 2; ++w) slot[1 + w] = widths[w];
    // The request's number last: the firmware takes the slot once it reads it. Volatile
    // stores keep their order in the compiler, and the PRU memory's mapping (UIO's, or
    // /dev/mem's with O_SYNC: both non-cached) is strongly ordered on ARMv7 (x86's stores
    // are ordered anyway), so the widths land first.
    slot[0] = ++head;
    pthread_mutex_unlock(&sending);
    return 0;
}

int hx_servo_send_esc_pulse_normalized(int ch, double width)
{
    if (!(width >= 0.0 && width <= 1.0)) {
        std::fputs("ERROR in hx_servo_send_esc_pulse_normalized, width must be 0.0 to 1.0\n", stderr);
        return -1;
    }
    return hx_servo_send_pulse_us(ch, esc_min_us + static_cast<int>(esc_span_us * width + 0.5));
}

int hx_servo_power_rail(int on)
{
    constexpr const char* who = "hx_servo_power_rail";
    if (on != 0 && on != 1) {
        std::fprintf(stderr, "ERROR in %s, on must be 0 or 1\n", who);
        return -1;
    }
    return drive_rail(who, on);
}

int hx_servo_cleanup(void)
{
    int rc = 0;
    if (init_flag && !stop_firmware()) {
        std::fprintf(stderr,
                     "ERROR in hx_servo_cleanup, the servo firmware did not answer the stop: PRU%d is stopped, and an "
                     "output that was high may stay high\n",
                     core);
        rc = -1;
    }
    release_rail();
    init_flag = 0;
    return rc;
}

}  // extern "C"
