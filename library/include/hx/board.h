/* The board check: what this kernel offers each of the board's services, found by the
 * services' own lookups (by register address, as they find their devices at init).
 *
 * Each function writes where it found the thing, for a person, into where (at most cap
 * bytes, NUL-terminated) and returns 1 when found, 0 when missing (where then says what
 * was looked for), 2 when found but the calling user may not use it (where then says
 * whose it is), 3 when it could not be looked at (where says why and what to do), or -1
 * for a number out of range. Nothing is written to the kernel.
 * hx_board_check(1) prints them all, with what to do about anything missing.
 */
#define HX_BOARD_MISSING 0
#define HX_BOARD_FOUND 1
#define HX_BOARD_NOT_PERMITTED 2
#define HX_BOARD_UNKNOWN 3
#ifndef HX_BOARD_H
#define HX_BOARD_H

#include <hx/export.h>

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* eQEP unit 1..3 (encoder channels 1-3): the vendor 4.x attributes, or the counter
 * device of the same unit, e.g. "counter device counter1 (48302180.counter)"; not
 * permitted when this user may not write what the encoder module writes. */
HX_EXPORT int hx_board_eqep(int unit, char* where, size_t cap);

/* PRU core 0 (encoder 4) or 1 (the servo outputs): its remoteproc entry, e.g.
 * "remoteproc1 (4a334000.pru)"; not permitted when this user may not write its state or
 * firmware. */
HX_EXPORT int hx_board_pru(int core, char* where, size_t cap);

/* The PRU memories the library maps (the shared RAM, PRU core 1's data RAM): through
 * their UIO device, e.g. "/dev/uio0 (pru-memories: ...)", which the udev rules give to
 * group halvex (not permitted when this user may not open it: where names the group);
 * where there is none, through /dev/mem, root's alone (missing for anyone else). */
HX_EXPORT int hx_board_pru_memory(char* where, size_t cap);

/* Firmware image name where the kernel's loader looks for it, in its order:
 * firmware_class.path when set, /lib/firmware/updates/<release>, /lib/firmware/updates,
 * /lib/firmware/<release>, /lib/firmware (<release> the running kernel's), e.g.
 * "/lib/firmware/am335x-pru0-hx-encoder-fw". */
HX_EXPORT int hx_board_firmware(const char* name, char* where, size_t cap);

/* GPIO bank 0..3: its character device and the line interface the kernel offers, e.g.
 * "/dev/gpiochip2 (481ac000.gpio), uAPI v2: the kernel debounces". Missing when the bank
 * or its device node is; not permitted when the node may not be opened by this user
 * (where names its group). */
HX_EXPORT int hx_board_gpio(int bank, char* where, size_t cap);

/* UART bus 0..5: "/dev/ttyS<bus>", found when it is the UART at the bus's address
 * (44e09000, 48022000, 48024000, 481a6000, 481a8000, 481aa000: the node alone may be a
 * placeholder port of the serial driver, with no UART behind it); not permitted when
 * this user may not open it. */
HX_EXPORT int hx_board_uart(int bus, char* where, size_t cap);

/* The control module's pin controller (pinctrl-single at 44e10800) in the kernel's
 * debugfs, e.g. "/sys/kernel/debug/pinctrl/44e10800.pinmux-pinctrl-single"; unknown when
 * debugfs is not mounted or only root may read it. */
HX_EXPORT int hx_board_pinctrl(char* where, size_t cap);

/* The signals whose pads the board check reads, numbered from 0: "encoder 1 A" ..
 * "encoder 4 B", "servo 1" .. "servo 8", "servo rail", "mode button", "pause button",
 * "serial 0 RX" .. "serial 5 TX". NULL past the last. */
HX_EXPORT const char* hx_board_signal(int signal);

/* The pad of that signal as the kernel's pin controller (pinctrl-single at 44e10800)
 * shows it in debugfs (the pins file in /sys/kernel/debug/pinctrl/44e10800.pinmux-...):
 * found when the pad is in the signal's mode (and, for an input, its receiver is on), e.g. "pad
 * gpmc_ad14 (V13) mode 6 (pr1_pru0_pru_r31_14), input, pull-up"; missing when it is not,
 * e.g. "pad gpmc_ad14 (V13) is in mode 0 (gpmc_ad14), not mode 6 (PRU0 R31 14); ..." (an
 * eQEP unit's A input also says whether the unit can count at all); unknown when debugfs
 * is not mounted or not this user's to read. */
HX_EXPORT int hx_board_pad(int signal, char* where, size_t cap);

#ifdef __cplusplus
}
#endif

#endif
