/* Serial buses: the SoC's UARTs as /dev/ttyS<bus>, through termios.
 *
 * A bus is opened raw with 8 data bits; every read is bounded by the time-out given
 * at init. Buses are numbered 0 to HX_UART_MAX_BUS. Failures print one line on
 * standard error naming the function and return -1. One caller per bus at a time.
 */
#ifndef HX_SERIAL_H
#define HX_SERIAL_H

#include <hx/export.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HX_UART_MAX_BUS 5

/* Open /dev/ttyS<bus> at baudrate (a rate termios offers: 50 to 4000000), with reads
 * giving up after timeout_s seconds (0 to 25.5). canonical_en 1 lets the kernel's line
 * discipline assemble lines (no echo); 0 is raw. stop_bits is 1 or 2; parity_en 1 adds
 * even parity (and checks it on input). The line gets exactly these settings, 8 data
 * bits, no flow control: nothing set by an earlier user survives, and a device that
 * does not take them all (a pseudo-terminal has no parity) fails the init. An open bus
 * is closed and opened anew. Returns 0, or -1. */
HX_EXPORT int hx_uart_init(int bus, int baudrate, float timeout_s, int canonical_en,
                           int stop_bits, int parity_en);

/* Close the bus. Returns 0, or -1 when the bus number is bad or it was not open. */
HX_EXPORT int hx_uart_close(int bus);

/* Drop every byte received and not yet read, and every byte written and not yet sent.
 * Returns 0, or -1. */
HX_EXPORT int hx_uart_flush(int bus);

/* Send bytes bytes of data; short writes are resumed until all are queued. Returns
 * the number of bytes written (bytes), or -1. */
HX_EXPORT int hx_uart_write(int bus, const void* data, int bytes);

/* Read up to bytes bytes into buf, waiting at most the bus's time-out for them.
 * Returns how many were read (fewer when the time-out ran out first), 0 when the
 * time-out passed with nothing read, -1 on error, a bad bus or a bad buffer. */
HX_EXPORT int hx_uart_read_bytes(int bus, void* buf, int bytes);

/* Read one line: bytes up to and including '\n', at most max_bytes - 1 of them, then a
 * terminating NUL, so buf always holds a C string and nothing is written past
 * buf[max_bytes - 1]. Bytes after the line stay queued. The whole line must arrive
 * within the time-out. Returns the number of bytes read (without the NUL), 0 when
 * nothing arrived, -1 on error; max_bytes must be at least 2. */
HX_EXPORT int hx_uart_read_line(int bus, void* buf, int max_bytes);

#ifdef __cplusplus
}
#endif

#endif
