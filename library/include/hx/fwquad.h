/* fwquad: quadrature encoder channel 4, counted by firmware on PRU core 0.
 *
 * The firmware image "am335x-pru0-hx-encoder-fw" keeps the count as a signed 32-bit
 * word at byte offset 64 of the PRU shared RAM. Init stops core 0 (an image still
 * running there could overwrite the marker), writes the start marker 42 there, starts
 * the firmware and waits (up to 40 looks, 100 ms apart) for the firmware to clear it to
 * 0. After that a read or a write is a single memory access.
 *
 * Failures print a report on standard error and return -1. Not thread-safe:
 * serialise init and cleanup against every other call.
 */
#ifndef HX_FWQUAD_H
#define HX_FWQUAD_H

#include <hx/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Map the shared RAM, start the firmware on PRU core 0 and wait for its handshake.
 * Returns 0 when the firmware runs; -1 when the map or the start fails, or when the
 * firmware does not clear the marker within about 4 s (core 0 is then stopped again).
 * Calling it again repeats the whole start-up. If that repeat fails to start the
 * firmware (the start itself refused, not a handshake that times out), the module stays
 * initialised from before: reads then answer what the word holds, the marker 42, until
 * a firmware writes it or hx_fwquad_cleanup. */
HX_EXPORT int hx_fwquad_init(void);

/* Channel 4's position, or -1 (with a message) before a successful init. -1 is also a
 * legal position. */
HX_EXPORT int hx_fwquad_read(void);

/* Set channel 4's position; the firmware counts on from it. 0, or -1 before init.
 * The firmware reads, adds to and writes back the word at each edge within a few PRU
 * cycles: a store that lands inside that window while the encoder turns is lost to the
 * edge. Set the position at a standstill. */
HX_EXPORT int hx_fwquad_write(int pos);

/* Zero the count word (if mapped) and stop PRU core 0, whatever state the module is in.
 * The shared RAM stays mapped by the PRU service. */
HX_EXPORT void hx_fwquad_cleanup(void);

#ifdef __cplusplus
}
#endif

#endif
