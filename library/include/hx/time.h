/* Sleeping on the monotonic clock. */
#ifndef HX_TIME_H
#define HX_TIME_H

#include <hx/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Sleep for us microseconds on the monotonic clock. A signal does not cut the sleep
 * short: it resumes until the whole time has passed (the deadline is absolute, so
 * interruptions add no drift). Returns 0, or -1 with a message if the clock fails. */
HX_EXPORT int hx_usleep(unsigned int us);

#ifdef __cplusplus
}
#endif

#endif
