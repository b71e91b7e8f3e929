/* Push buttons on GPIO lines, through the GPIO character device.
 *
 * A button is named by its GPIO bank <chip> (0 to 3: the banks at 44e07000, 4804c000,
 * 481ac000 and 481ae000, found by that address in /sys/bus/gpio/devices on every
 * kernel; on a machine without those banks, /dev/gpiochip<chip>) and line offset <pin>.
 * With uAPI v2 (kernels since 5.10) the kernel debounces the line; on older kernels, or
 * where the kernel refuses the debounce period, the service requests the line through
 * uAPI v1 or without the attribute and debounces it itself. Both edges are watched by
 * one watcher thread of the service, which turns each lasting edge into a press or a
 * release and calls the callback registered for it. Callbacks therefore run on that
 * thread, one at a time, and must not call hx_button_cleanup. Failures print one line
 * on standard error and return -1.
 */
#ifndef HX_BUTTON_H
#define HX_BUTTON_H

#include <hx/export.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HX_BUTTON_MAX 8
#define HX_BUTTON_PRESSED_HIGH 0 /* pressing drives a normally-low line high */
#define HX_BUTTON_PRESSED_LOW 1  /* pressing pulls a normally-high line low (pull-up) */

/* Request line pin of GPIO bank chip as an input with both edges, debounced by
 * debounce_us microseconds (0 for none), and start watching it.
 * polarity is HX_BUTTON_PRESSED_LOW or HX_BUTTON_PRESSED_HIGH. Returns 0, or -1 for bad
 * arguments, a button already set up (it is left as it was), more than HX_BUTTON_MAX
 * buttons, or a kernel that refuses the request. */
HX_EXPORT int hx_button_init(int chip, int pin, int polarity, int debounce_us);

/* Register the functions called on each press and each release of a button set up
 * with hx_button_init; either may be NULL for no call. Replaces earlier ones.
 * Returns 0, or -1 when the button was not set up. */
HX_EXPORT int hx_button_set_callbacks(int chip, int pin, void (*press)(void),
                                      void (*release)(void));

/* Stop the watcher (waiting for a running callback to return) and release every
 * line. Safe to call again, or without any init. Returns 0. */
HX_EXPORT int hx_button_cleanup(void);

#ifdef __cplusplus
}
#endif

#endif
