// Button service, kernel side: line requests on the GPIO character device, the bank
// found by its address (gpio.h). uAPI v2 (with the kernel's debounce) exists since 5.10
// only; older kernels answer it with ENOTTY or EINVAL and get a v1 line event request
// with the service's own debounce. The same own debounce serves where the kernel
// refuses the period (the AM335x debounces in hardware up to 7936 us).
#include "hx/button.h"
#include "hx/board.h"

#include "../sys/sysfs.h"
#include "button_events.h"
#include "gpio.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr const char* consumer = "halvex-button";

using hx::button_events::records;
using hx::gpio::bank_device;
using hx::gpio::chip_path;

// uAPI v2: input, both edges, the kernel's debounce when debounce_us > 0. 0 or errno.
int request_v2(int chip_fd, int pin, int debounce_us, int* line_fd)
{
    gpio_v2_line_request req{};
    req.offsets[0] = static_cast<__u32>(pin);
    req.num_lines = 1;
    std::strncpy(req.consumer, consumer, sizeof req.consumer - 1);
    req.config.flags = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_EDGE_RISING |
                       GPIO_V2_LINE_FLAG_EDGE_FALLING;
    if (debounce_us > 0) {
        req.config.num_attrs = 1;
        req.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_DEBOUNCE;
        req.config.attrs[0].attr.debounce_period_us = static_cast<__u32>(debounce_us);
        req.config.attrs[0].mask = 1;  // the first (only) requested line
    }
    if (ioctl(chip_fd, GPIO_V2_GET_LINE_IOCTL, &req) < 0) return errno;
    *line_fd = req.fd;
    return 0;
}

// uAPI v1: a line event request, input, both edges, no debounce. 0 or errno.
int request_v1(int chip_fd, int pin, int* line_fd)
{
    gpioevent_request req{};
    req.lineoffset = static_cast<__u32>(pin);
    req.handleflags = GPIOHANDLE_REQUEST_INPUT;
    req.eventflags = GPIOEVENT_REQUEST_BOTH_EDGES;
    std::strncpy(req.consumer_label, consumer, sizeof req.consumer_label - 1);
    if (ioctl(chip_fd, GPIO_GET_LINEEVENT_IOCTL, &req) < 0) return errno;
    *line_fd = req.fd;
    return 0;
}

bool refused(int err) { return err == ENOTTY || err == EINVAL; }

}  // namespace

extern "C" {

int hx_button_init(int chip, int pin, int polarity, int debounce_us)
{
    constexpr const char* who = "hx_button_init";
    if (chip < 0 || pin < 0 || debounce_us < 0 ||
        (polarity != HX_BUTTON_PRESSED_LOW && polarity != HX_BUTTON_PRESSED_HIGH)) {
        std::fprintf(stderr, "ERROR in %s, chip, pin and debounce must be >= 0 and polarity 0 or 1\n", who);
        return -1;
    }
    if (hx::button_events::attached(chip, pin)) {
        std::fprintf(stderr, "ERROR in %s, button %d,%d is already set up\n", who, chip, pin);
        return -1;
    }
    char path[32];
    if (!chip_path(chip, path)) {
        std::fprintf(stderr, "ERROR in %s, GPIO bank %d is not in %s\n", who, chip, hx::gpio::bus);
        return -1;
    }
    const int chip_fd = open(path, O_RDWR | O_CLOEXEC);
    if (chip_fd < 0) {
        hx::sysfs::report(who, "open", path);
        return -1;
    }
    int line_fd = -1;
    records format = records::v2;
    int own_debounce = 0;
    const int first = request_v2(chip_fd, pin, debounce_us, &line_fd);
    int err = first;
    if (refused(err) && debounce_us > 0) {
        err = request_v2(chip_fd, pin, 0, &line_fd);
        own_debounce = debounce_us;
    }
    // Kernels built without the v1 uAPI (Debian's since 7.x) refuse it as well: then
    // the first refusal is the one that says why.
    if (refused(err)) {
        err = request_v1(chip_fd, pin, &line_fd);
        format = records::v1;
        own_debounce = debounce_us;
        if (refused(err)) err = first;
    }
    close(chip_fd);  // the line request lives on without the chip descriptor
    if (err != 0) {
        std::fprintf(stderr, "ERROR in %s, can't request line %d of %s: %s\n", who, pin, path,
                     std::strerror(err));
        return -1;
    }
    return hx::button_events::attach(who, chip, pin, polarity, line_fd, format, own_debounce);
}

int hx_button_set_callbacks(int chip, int pin, void (*press)(void), void (*release)(void))
{
    return hx::button_events::set_callbacks(chip, pin, press, release);
}

int hx_button_cleanup(void)
{
    hx::button_events::detach_all();
    return 0;
}


int hx_board_gpio(int bank, char* where, size_t cap)
{
    if (bank < 0 || bank >= static_cast<int>(bank_device.size()) || where == nullptr || cap == 0) return -1;
    const char* dev = bank_device[static_cast<std::size_t>(bank)];
    char path[32];
    if (!chip_path(bank, path)) {
        std::snprintf(where, cap, "no GPIO bank %s in %s", dev, hx::gpio::bus);
        return 0;
    }
    // Found by address, or (no AM335x bank at all) the chip numbered as the bank.
    char entry[160];
    const bool by_address = hx::sysfs::find_device(hx::gpio::bus, "gpiochip", &dev, 1, entry, sizeof entry) >= 0;
    char what[96];
    std::snprintf(what, sizeof what, "%s (%s)", path, by_address ? dev : "no AM335x bank: the chip of that number");
    const int f = open(path, O_RDONLY | O_CLOEXEC);
    if (f < 0 && (errno == EACCES || errno == EPERM)) {
        char whose[96];
        hx::sysfs::owner(path, whose, sizeof whose);
        std::snprintf(where, cap, "%s: not permitted to this user (%s)", what, whose);
        return HX_BOARD_NOT_PERMITTED;
    }
    if (f < 0) {
        std::snprintf(where, cap, "%s: %s", what, std::strerror(errno));
        return 0;
    }
    // uAPI v2 is there when the kernel answers the line information of line 0 (every
    // chip has it). Before 5.10 gpio_ioctl() answers EINVAL to every command it does not
    // know (and other character devices ENOTTY): neither is v2.
    gpio_v2_line_info info{};
    const bool v2 = ioctl(f, GPIO_V2_GET_LINEINFO_IOCTL, &info) == 0;
    close(f);
    std::snprintf(where, cap, "%s, %s", what,
                  v2 ? "uAPI v2: the kernel debounces" : "uAPI v1 only: the service debounces itself");
    return 1;
}

}  // extern "C"
