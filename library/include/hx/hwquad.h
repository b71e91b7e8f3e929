/* hwquad: quadrature encoder channels 1 to 3, counted by the SoC's eQEP units.
 *
 * On vendor 4.x kernels the eQEP driver exposes each unit in sysfs with an `enabled`
 * and a `position` attribute (below /sys/devices/platform/ocp/4830x000.epwmss/
 * 4830x180.eqep). Newer kernels have only the counter subsystem: where a unit's
 * `enabled` attribute does not exist, the module uses the counter device named
 * "4830x180.counter" instead (its ceiling set to the full 32 bits, enabled, count0/count
 * as the position, whose unsigned count reads as a signed 32-bit position). The module
 * enables the units, zeroes their counts and keeps the three position attributes open,
 * so a read or a write is one system call (pread or pwrite at offset 0) and one decimal
 * parse or format. Channel 4 is counted by PRU firmware: see <hx/fwquad.h>.
 *
 * Failures print one report on standard error (two lines when an attribute cannot be
 * opened) and return -1. Not thread-safe: serialise init and cleanup against every
 * other call, and calls on the same channel against each other.
 */
#ifndef HX_HWQUAD_H
#define HX_HWQUAD_H

#include <hx/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Enable units 1, 2, 3 in turn, zero each count and keep its position attribute open.
 * Returns 0, also when already initialised (then nothing is touched); -1 when an
 * attribute cannot be opened, enabled or zeroed. A failed init may be retried; any
 * attribute it had opened is closed first. */
HX_EXPORT int hx_hwquad_init(void);

/* The position of channel ch (1..3) as a signed 32-bit count, or -1 on failure
 * (not initialised, ch is 4 or outside 1..3, seek or read failed). -1 is also a legal
 * position: only the message on standard error tells a failure apart. Text beyond
 * the 32-bit range reads as the nearest limit. */
HX_EXPORT int hx_hwquad_read(int ch);

/* Set the count of channel ch (1..3) to pos. Returns 0, or -1 on failure with the same
 * checks as hx_hwquad_read. */
HX_EXPORT int hx_hwquad_write(int ch, int pos);

/* Close the position attributes; the module is uninitialised again and may be
 * initialised anew. Safe to call at any time. Always returns 0. */
HX_EXPORT int hx_hwquad_cleanup(void);

#ifdef __cplusplus
}
#endif

#endif
