// The control module's pad registers and the pin controller's debugfs file that shows
// them (/sys/kernel/debug/pinctrl/44e10800.pinmux-pinctrl-single/pins), as the
// pinctrl-single driver prints it: since 5.9 with the GPIO line each pin is (the
// am33xx-l4 tree's gpio-ranges), before without. Tests set a pad as a tree would mux it.
#include "model.h"

#include <array>
#include <cstdio>

namespace simk {

namespace {

constexpr int pads = 142;
constexpr const char* dir = "/kernel/debug/pinctrl/44e10800.pinmux-pinctrl-single";
std::array<uint32_t, pads> pad{};

// The pads the board's tree with halvex's additions muxes, at their values. The SoC's
// reset values are not modelled: a pad nobody muxes reads 0x27 (mode 7, receiver on,
// pull-down).
constexpr struct {
    int offset;
    uint32_t value;
} muxed[] = {
    {0x838, 0x36}, {0x83c, 0x36},                                                  // encoder 4 on PRU0
    {0x8e0, 0x05}, {0x8e8, 0x05}, {0x8e4, 0x05}, {0x8ec, 0x05},                    // servos 1-4 on PRU1
    {0x8b8, 0x05}, {0x8bc, 0x05}, {0x8b0, 0x05}, {0x8b4, 0x05},                    // servos 5-8
    {0x898, 0x37}, {0x89c, 0x37}, {0x8c8, 0x07},                                   // buttons, servo rail
    {0x9a0, 0x29}, {0x9a4, 0x29}, {0x8d0, 0x2a}, {0x8d4, 0x2a}, {0x830, 0x2c}, {0x834, 0x2c},  // eQEP0-2
    {0x970, 0x30}, {0x974, 0x00}, {0x980, 0x30}, {0x984, 0x00},                    // UART0, UART1
    {0x950, 0x31}, {0x954, 0x01}, {0x8c4, 0x34}, {0x8c0, 0x04},                    // UART2, UART5
};

// am33xx-l4's gpio-ranges: bank, first line, first pin, count.
constexpr struct {
    int bank, line, pin, count;
} ranges[] = {
    {0, 0, 82, 8},   {0, 8, 52, 4},   {0, 12, 94, 4},  {0, 16, 71, 2},  {0, 18, 135, 1}, {0, 19, 108, 2},
    {0, 21, 73, 1},  {0, 22, 8, 2},   {0, 26, 10, 2},  {0, 28, 74, 1},  {0, 29, 81, 1},  {0, 30, 28, 2},
    {1, 0, 0, 8},    {1, 8, 90, 4},   {1, 12, 12, 16}, {1, 28, 30, 4},  {2, 0, 34, 18},  {2, 18, 77, 4},
    {2, 22, 56, 10}, {3, 0, 66, 5},   {3, 5, 98, 2},   {3, 7, 75, 2},   {3, 13, 141, 1}, {3, 14, 100, 8},
};
constexpr const char* bank_address[] = {"44e07000.gpio", "4804c000.gpio", "481ac000.gpio", "481ae000.gpio"};

// "14:gpio-32-63 ": the pin's line within its bank and the bank's chip label, which the
// omap driver gives in probe order (the profile's gpiochip order); "0:? " for none.
std::string gpio_column(int pin)
{
    for (const auto& r : ranges) {
        if (pin < r.pin || pin >= r.pin + r.count) continue;
        for (size_t chip = 0; chip < profile->gpio.size(); ++chip) {
            if (std::string(profile->gpio[chip]) != bank_address[r.bank]) continue;
            const int base = static_cast<int>(chip) * 32;
            return num(static_cast<uint64_t>(r.line + pin - r.pin)) + ":gpio-" + num(static_cast<uint64_t>(base)) + "-" +
                   num(static_cast<uint64_t>(base + 31)) + " ";
        }
    }
    return "0:? ";
}

int show_pins(std::string& s)
{
    s = "registered pins: " + num(pads) + "\n";
    char reg[32];
    for (int pin = 0; pin < pads; ++pin) {
        std::snprintf(reg, sizeof reg, "%x %08x ", 0x44e10800u + 4u * static_cast<unsigned>(pin),
                      static_cast<unsigned>(pad[static_cast<size_t>(pin)]));
        s += "pin " + num(static_cast<uint64_t>(pin)) + " (PIN" + num(static_cast<uint64_t>(pin)) + ") " +
             (profile->pinctrl_gpio_column ? gpio_column(pin) : "") + reg + "pinctrl-single \n";
    }
    return 0;
}

}  // namespace

void add_pinctrl()
{
    if (!profile->pinctrl) {
        // debugfs is mounted (it has entries), but no AM335x pin controller is in it.
        the_tree.dir("/kernel/debug/bdi");
        return;
    }
    pad.fill(0x27);
    for (const auto& m : muxed) pad[static_cast<size_t>((m.offset - 0x800) / 4)] = m.value;
    the_tree.attr(std::string(dir) + "/pins", show_pins);
}

bool set_pad(int offset, uint32_t value)
{
    if (!profile->pinctrl || offset < 0x800 || offset >= 0x800 + 4 * pads || offset % 4 != 0) return false;
    pad[static_cast<size_t>((offset - 0x800) / 4)] = value;
    return true;
}

void unmount_debugfs()
{
    the_tree.remove("/kernel/debug/pinctrl");
    the_tree.remove("/kernel/debug/bdi");
}

}  // namespace simk
