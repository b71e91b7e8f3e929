// The board's GPIO banks through the GPIO character device: finding a bank's chip, and
// the one output line the library drives (the servo rail's enable). Shared by the
// button and servo services and the board check.
#ifndef HX_SRC_GPIO_H
#define HX_SRC_GPIO_H

#include <array>
#include <cstddef>

namespace hx::gpio {

constexpr const char* bus = "/sys/bus/gpio/devices";
// Banks 0-3 by their register address.
constexpr std::array<const char*, 4> bank_device = {"44e07000.gpio", "4804c000.gpio", "481ac000.gpio",
                                                    "481ae000.gpio"};

// /dev/gpiochipN follows registration order, which differs between kernels (bank 2 is
// gpiochip2 on vendor kernels, usually gpiochip1 on mainline), so a bank is found by
// its register address in the link /sys/bus/gpio/devices/gpiochipN. The character
// device of bank `bank` into path; on a machine without any AM335x bank (a PC with a
// GPIO simulator), /dev/gpiochip<bank>. False when the board lacks the bank.
bool chip_path(int bank, char (&path)[32]);

// An output line held by the library.
struct output {
    int fd = -1;
    bool v1 = false;  // requested through uAPI v1 (kernels before 5.10)
};

// Request line `line` of bank `bank` as an output driven at value (0 or 1), through
// uAPI v2, or v1 where v2 is missing. 0, or -1 after one message naming who (none when
// who is NULL).
int request_output(const char* who, int bank, int line, int value, output& out);
// Drive the line at value. 0, or -1 after a message.
int set(const char* who, const output& out, int value);
// Let the line go (it keeps the level last driven).
void release(output& out);

}  // namespace hx::gpio

#endif
