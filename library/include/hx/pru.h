/* PRU control: the two PRU cores through remoteproc, and the PRU shared RAM.
 *
 * Core 0 is the remoteproc of platform device 4a334000.pru, core 1 of 4a338000.pru,
 * found in /sys/class/remoteproc by their `name` attribute or `device` link (the
 * remoteprocN numbers follow allocation order); where neither exists, remoteproc1 and
 * remoteproc2. Firmware images are looked up by the kernel under /lib/firmware. Every failure prints one line on
 * standard error naming the function and the path, and returns -1 (or NULL).
 */
#ifndef HX_PRU_H
#define HX_PRU_H

#include <stdint.h>

#include <hx/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the PRU shared RAM in bytes. */
#define HX_PRU_SHARED_MEM_SIZE 0x3000u

/* Start firmware image fw_name on core (0 or 1): stop the core if it runs, write the
 * image name to `firmware`, write `start` to `state`. The shared RAM is not touched.
 * Returns 0, or -1 on a bad core, a null or over-long name, or a failed attribute.
 * When the kernel finds no such image, the message names it and where the kernel looks
 * (firmware_class.path where that is set, /lib/firmware/updates/<release>,
 * /lib/firmware/updates, /lib/firmware/<release>, /lib/firmware), and the core's
 * `firmware` is set back to the image it had. */
HX_EXPORT int hx_pru_start(int core, const char* fw_name);

/* Stop core (0 or 1) if it runs. Returns 0 (also when it was not running), or -1. */
HX_EXPORT int hx_pru_stop(int core);

/* The PRU shared RAM (12 KiB at physical 0x4A310000), mapped on the first call and kept
 * for the life of the process: later calls return the same pointer. It is mapped
 * through the UIO device named "pru-memories" (found by its name and addresses, with
 * the length the kernel gives; group halvex may use it), or through /dev/mem (root's
 * alone) where there is no such device. The memory belongs to the service; callers
 * must not unmap it. Returns NULL, with a message, when the kernel offers no PRU core 0
 * (the PRU subsystem's node is not enabled: its memory may then be unclocked, and
 * nothing is mapped), or when neither device can be opened or mapped. */
HX_EXPORT volatile uint32_t* hx_pru_shared_mem_ptr(void);

#ifdef __cplusplus
}
#endif

#endif
