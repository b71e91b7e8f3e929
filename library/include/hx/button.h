/* Push buttons on GPIO lines, through the GPIO character device (uAPI v2).
 *
 * A button is named by its GPIO chip (/dev/gpiochip<chip>) and line offset <pin>. The
 * kernel debounces the line and reports both edges; one watcher thread of the service
 * turns each edge into a press or a release and calls the callback registered for it.
 * Callbacks therefore run on that thread, one at a time, and must not call
 * hx_button_cleanup. Failures print one line on standard error and return -1.
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

/* Request line pin of gpiochip<chip> as an input with both edges and the kernel's
 * debounce of debounce_us microseconds (0 for none), and start watching it.
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
