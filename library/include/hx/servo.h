/* Servo and ESC outputs: the board's servo header, eight channels driven by firmware on
 * PRU core 1 (its R30 outputs 8, 10, 9, 11, 6, 7, 4, 5 are servos 1 to 8).
 *
 * Every call sends one pulse: the firmware "am335x-pru1-hx-servo-fw" (from the
 * halvex-pru-firmware package) gives each request exactly one high pulse of the asked
 * width on each channel it names, and nothing without a request. A servo wants a pulse
 * about every 20 ms, so a program calls at that rate; when it stops calling, however it
 * stops (it returns, crashes, is killed, or hangs), the pulses stop within one pulse.
 * No other process is involved.
 *
 * The width is exact to the PRU's clock (5 ns): a pulse of N us is high for exactly
 * N x 200 cycles. The channels one call names rise together. A pulse asked for a
 * channel whose last pulse is still high follows it (after one microsecond low), never
 * merged with it. Widths are 1 to 19999 us.
 *
 * How requests reach the firmware: each call writes one request into PRU core 1's data
 * RAM (0x4A302000, mapped as <hx/pru.h> maps the shared RAM: the UIO device
 * "pru-memories", else /dev/mem; no system call), into a ring of 16 the firmware
 * takes one a microsecond at most; firmware/servo.s has the protocol. The core runs
 * from hx_servo_init to hx_servo_cleanup, found as the PRU service finds it
 * (<hx/pru.h>); while it runs no other program may use PRU core 1.
 *
 * The servo rail (the header's supply, GPIO bank 2 line 16) stays off unless
 * hx_servo_power_rail turns it on: ESCs bring their own supply and must not be fed by
 * the rail.
 *
 * Failures print one line on standard error naming the function and return -1.
 * hx_servo_init and hx_servo_cleanup must not run alongside other calls of the service;
 * pulses may be sent from several threads.
 */
#ifndef HX_SERVO_H
#define HX_SERVO_H

#include <hx/export.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HX_SERVO_CHANNELS 8
#define HX_SERVO_ALL 0

/* Start the servo firmware on PRU core 1 (stopping whatever ran there) and wait for its
 * handshake, up to 40 looks 100 ms apart; drive the servo rail off where the board's
 * GPIO bank 2 can be had (a board without it, or a program without access to it, keeps
 * the rail as it was). Returns 0 (also when already started), or -1 when the PRU
 * subsystem or its memory is missing, the firmware cannot be started (a missing image
 * is named, with where the kernel looks), or it does not answer (core 1 is then
 * stopped again). */
HX_EXPORT int hx_servo_init(void);

/* One pulse of us microseconds (1 to 19999) on channel ch (1 to 8; 0 for all eight,
 * rising together). Returns at once with 0, or -1 for a bad channel or width, before
 * init, or when the firmware has left 16 requests untaken (it is not running). */
HX_EXPORT int hx_servo_send_pulse_us(int ch, int us);

/* One ESC pulse: width 0.0 (1000 us, minimum throttle) to 1.0 (2000 us, full
 * throttle), as 1000 + 1000 * width us. Width out of range: -1. */
HX_EXPORT int hx_servo_send_esc_pulse_normalized(int ch, double width);

/* Turn the servo rail on (1) or off (0): GPIO bank 2 line 16, held by the service until
 * hx_servo_cleanup. Needs no hx_servo_init. Returns 0, or -1 for a value other than 0
 * or 1, or when the line cannot be had. */
HX_EXPORT int hx_servo_power_rail(int on);

/* End every pulse at once: the firmware drives every output low and halts, then PRU
 * core 1 is stopped; the rail is turned off and let go. Safe to call at any time.
 * Returns 0, or -1 when the firmware did not answer within 1 s (core 1 is stopped all
 * the same, and an output that was high may stay high: R30 keeps its level when a core
 * halts). */
HX_EXPORT int hx_servo_cleanup(void);

#ifdef __cplusplus
}
#endif

#endif
