/* Servo and ESC outputs: eight channels on the PWM class in sysfs, 20 ms period.
 *
 * Channels 1 to HX_SERVO_CHANNELS are pwm0..pwm7 of /sys/class/pwm/pwmchip0; channel 0
 * addresses all of them at once. A pulse sets the width that the PWM unit repeats every
 * period until the next pulse. Failures print one line on standard error naming the
 * function (and the attribute, where one failed) and return -1.
 */
#ifndef HX_SERVO_H
#define HX_SERVO_H

#include <hx/export.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HX_SERVO_CHANNELS 8
#define HX_SERVO_ALL 0

/* Export every channel (where the kernel has not already), set a 20 ms period and a
 * zero width, and enable it. Returns 0 (also when already started), or -1: then the
 * channels started before the failure are stopped again. */
HX_EXPORT int hx_servo_init(void);

/* Set channel ch (0 for all) to a pulse of us microseconds, 1 to 19999. Returns 0, or
 * -1 for a bad channel or width, before init, or when the attribute cannot be written. */
HX_EXPORT int hx_servo_send_pulse_us(int ch, int us);

/* An ESC pulse: width 0.0 (1000 us, minimum throttle) to 1.0 (2000 us, full
 * throttle), as 1000 + 1000 * width us. Width out of range: -1. */
HX_EXPORT int hx_servo_send_esc_pulse_normalized(int ch, double width);

/* Zero the width, disable every channel that init started and unexport those that it
 * exported. Safe to call at any time. Returns 0, or -1 if an attribute could not be
 * written (the other channels are stopped all the same). */
HX_EXPORT int hx_servo_cleanup(void);

#ifdef __cplusplus
}
#endif

#endif
