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
 * a pulse, hx_servo_init starts a small guardian process (named hx-servo-guard): it
 * stops an output (width 0, disabled) once no pulse has reached it for 60 ms, three
 * periods, and stops every output, releasing what the service exported, within 100 ms
 * of the program's end, however it ends: exit, a signal, a crash, kill -9, SIGTERM to
 * every process of a service's unit (the guardian ignores SIGTERM, SIGINT and SIGHUP
 * and leaves the terminal's process group: it goes as soon as the program has gone).
 * Children the program forks without exec do not keep it alive. It runs at the lowest
 * real-time priority (SCHED_FIFO 1) where the system allows it (root, CAP_SYS_NICE or
 * an rtprio limit), so that a busy CPU does not delay a stop. The next pulse on an
 * output the guardian stopped starts it again. Send pulses at least every 20 ms to keep
 * an output running.
 *
 * The guardian is not a child of the program: wait(NULL) and waitpid(-1, ...) never wait
 * for it. hx_servo_init forks a short-lived process to start it, which a SIGCHLD handler
 * of the program may see end (and reap) during the call.
 *
 * Should the guardian itself end while the service runs (killed on its own), the next
 * pulse stops every output, prints one message, and that pulse and all later ones are
 * refused (-1) until hx_servo_cleanup and hx_servo_init.
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

/* Start every channel whose PWM output the board has: export it (where the kernel has
 * not already), set a 20 ms period and a zero width, and enable it. Channels whose unit
 * is absent are skipped; so is an output the kernel will not give or set up (held by a
 * kernel driver: export answers EBUSY), after its message. An output left exported by
 * someone else with another period is freed and exported again (the eHRPWM refuses a
 * period that conflicts with its other output's until then), and left exported at
 * cleanup as it was found. Right after export the attributes may be root-only until
 * udev has applied its rules: a caller that is not root waits up to 1 s for them.
 * Returns 0 (also when already started), or -1 when the board has none of the units, or
 * none of its outputs could be started: then nothing is left started or exported. */
HX_EXPORT int hx_servo_init(void);

/* Set channel ch (0 for all started channels) to a pulse of us microseconds, 1 to
 * 19999. Returns 0, or -1 for a bad channel or width, a channel whose output the board
 * lacks or the service skipped, before init, once the guardian has ended (see above),
 * or when the attribute cannot be written. */
HX_EXPORT int hx_servo_send_pulse_us(int ch, int us);

/* An ESC pulse: width 0.0 (1000 us, minimum throttle) to 1.0 (2000 us, full
 * throttle), as 1000 + 1000 * width us. Width out of range: -1. */
HX_EXPORT int hx_servo_send_esc_pulse_normalized(int ch, double width);

/* Zero the width, disable every channel that init started and unexport those that it
 * exported, then end the guardian (it watches until the outputs are stopped, and makes
 * no write of its own on them once the cleanup has begun). Safe to call at any time;
 * waits for no process to end (only, should the guardian be stopping an output that
 * moment, for its two writes). Returns 0, or -1 if an attribute could not be written
 * (the other channels are stopped all the same). */
HX_EXPORT int hx_servo_cleanup(void);

#ifdef __cplusplus
}
#endif

#endif
