// Serial loopback test: send a short text out of a bus and read it back, first as a
// fixed number of bytes, then as a line. Wire the bus's RX pin to its TX pin.
#include <hx/serial.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static void __print_usage(void)
{
    std::printf("\n");
    std::printf("Usage: hx_serial_echo {bus}\n");
    std::printf("This sends a short message out the specified bus and then\n");
    std::printf("reads it back in. This requires connecting RX to TX to make a loopback.\n");
    std::printf("For Brantle or Tamsel specify bus 0,1,2 or 5\n");
    std::printf("\n");
}

// The buffer is not a C string when all 32 bytes arrived: print at most its size.
static void __report(int ret, const unsigned char* buf, int size)
{
    if (ret < 0) {
        std::fprintf(stderr, "Error reading bus\n");
    } else if (ret == 0) {
        std::printf("timeout reached, %d bytes read\n", ret);
    } else {
        std::printf("Received %d bytes: %.*s \n", ret, size, reinterpret_cast<const char*>(buf));
    }
}

int main(int argc, char* argv[])
{
    const char test_str[] = "Hello World";
    const int bytes = static_cast<int>(std::strlen(test_str));
    unsigned char buf[32];
    int ret;
    int bus;

    if (argc != 2) {
        __print_usage();
        return -1;
    }
    // atoi's reading (text that does not begin with a number is bus 0), but a number
    // beyond the int range saturates instead of wrapping onto a valid bus.
    const long long value = std::strtoll(argv[1], nullptr, 10);
    bus = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
    if (bus != 0 && bus != 1 && bus != 2 && bus != 5) {
        __print_usage();
        return -1;
    }

    std::printf("\ntesting UART bus %d\n\n", bus);
    if (hx_uart_init(bus, 115200, 0.5, 0, 1, 0)) {
        std::printf("Failed to hx_uart_init%d\n", bus);
        return -1;
    }

    std::printf("Sending  %d bytes: %s \n", bytes, test_str);
    hx_uart_flush(bus);
    hx_uart_write(bus, test_str, bytes);

    std::printf("reading bytes:\n");
    std::memset(buf, 0, sizeof(buf));
    ret = hx_uart_read_bytes(bus, buf, bytes);
    __report(ret, buf, sizeof(buf));

    std::printf("\n");
    std::printf("Sending  %d bytes: %s \n", bytes, test_str);
    hx_uart_write(bus, test_str, bytes);

    std::printf("reading line:\n");
    std::memset(buf, 0, sizeof(buf));
    ret = hx_uart_read_line(bus, buf, sizeof(buf));
    __report(ret, buf, sizeof(buf));

    hx_uart_close(bus);
    return 0;
}
