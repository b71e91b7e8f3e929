/* Servo and ESC outputs: eight of the AM335x's PWM outputs through the PWM class in
 * sysfs, 20 ms period.
 *
 * Channels 1 to 6 are outputs A and B of the eHRPWM units 0, 1 and 2 (devices
 * 48300200.pwm, 48302200.pwm, 48304200.pwm); channels 7 and 8 are eCAP0 and eCAP1
 * (48300100 and 48302100, named .ecap on vendor 4.x kernels, .pwm later). Each unit is
 * found by that address through /sys/class/pwm/pwmchipN/device, on every kernel
 * generation. Channel 0 addresses every started output at once.
 *
 * A pulse sets the width that the PWM unit repeats every period. So that a pulse stays
 * a pulse, hx_servo_init starts a small guardian process (named hx-servo-guard, out of
 * the terminal's process group so that Ctrl-C leaves it running): it stops an output
 * (width 0, disabled) once no pulse has reached it for 60 ms, three periods, and stops
 * every output, releasing what the service exported, as soon as the program ends in
 * any way without hx_servo_cleanup (exit, a signal, a crash, kill -9). The next pulse
 * on a stopped output starts it again. Send pulses at least every 20 ms to keep an
 * output running.
 *
 * Failures print one line on standard error naming the function (and the attribute,
 * where one failed) and return -1.
 */
#ifndef HX_SERVO_H
#define HX_SERVO_H

#include <hx/export.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HX_SERVO_CHANNELS 8
#define HX_SERVO_ALL 0

/* Start every channel whose PWM unit the board has: export it (where the kernel has not
 * already), set a 20 ms period and a zero width, and enable it. Channels whose unit is
 * absent are skipped. Returns 0 (also when already started), or -1 when the board has
 * none of the units or the kernel refuses a step: then nothing is left started or
 * exported. */
HX_EXPORT int hx_servo_init(void);

/* Set channel ch (0 for all started channels) to a pulse of us microseconds, 1 to
 * 19999. Returns 0, or -1 for a bad channel or width, a channel whose unit the board
 * lacks, before init, or when the attribute cannot be written. */
HX_EXPORT int hx_servo_send_pulse_us(int ch, int us);

/* An ESC pulse: width 0.0 (1000 us, minimum throttle) to 1.0 (2000 us, full
 * throttle), as 1000 + 1000 * width us. Width out of range: -1. */
HX_EXPORT int hx_servo_send_esc_pulse_normalized(int ch, double width);

/* End the guardian, zero the width, disable every channel that init started and
 * unexport those that it exported. Safe to call at any time. Returns 0, or -1 if an
 * attribute could not be written (the other channels are stopped all the same). */
HX_EXPORT int hx_servo_cleanup(void);

#ifdef __cplusplus
}
#endif

#endif
