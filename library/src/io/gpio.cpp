#include "gpio.h"

#include "../sys/sysfs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace hx::gpio {

namespace {

constexpr const char* consumer = "halvex";

// Kernels before 5.10 answer v2 requests with ENOTTY or EINVAL.
bool refused(int err) { return err == ENOTTY || err == EINVAL; }

}  // namespace

bool chip_path(int bank, char (&path)[32])
{
    char entry[160];
    if (bank >= 0 && bank < static_cast<int>(bank_device.size()) &&
        hx::sysfs::find_device(bus, "gpiochip", &bank_device[static_cast<std::size_t>(bank)], 1, entry, sizeof entry) >=
            0) {
        std::snprintf(path, sizeof path, "/dev/%.20s", std::strrchr(entry, '/') + 1);
        return true;
    }
    if (hx::sysfs::find_device(bus, "gpiochip", bank_device.data(), static_cast<int>(bank_device.size()), entry,
                               sizeof entry) >= 0)
        return false;
    std::snprintf(path, sizeof path, "/dev/gpiochip%d", bank);
    return true;
}

int request_output(const char* who, int bank, int line, int value, output& out)
{
    char path[32];
    if (!chip_path(bank, path)) {
        if (who != nullptr) std::fprintf(stderr, "ERROR in %s, GPIO bank %d is not in %s\n", who, bank, bus);
        return -1;
    }
    const int chip = open(path, O_RDWR | O_CLOEXEC);
    if (chip < 0) {
        if (who != nullptr) hx::sysfs::report(who, "open", path);
        return -1;
    }
    gpio_v2_line_request req{};
    req.offsets[0] = static_cast<__u32>(line);
    req.num_lines = 1;
    std::strncpy(req.consumer, consumer, sizeof req.consumer - 1);
    req.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    req.config.num_attrs = 1;
    req.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    req.config.attrs[0].attr.values = value ? 1 : 0;
    req.config.attrs[0].mask = 1;
    int err = ioctl(chip, GPIO_V2_GET_LINE_IOCTL, &req) == 0 ? 0 : errno;
    out.v1 = false;
    out.fd = req.fd;
    if (refused(err)) {
        gpiohandle_request old{};
        old.lineoffsets[0] = static_cast<__u32>(line);
        old.lines = 1;
        old.flags = GPIOHANDLE_REQUEST_OUTPUT;
        old.default_values[0] = static_cast<__u8>(value ? 1 : 0);
        std::strncpy(old.consumer_label, consumer, sizeof old.consumer_label - 1);
        // Kernels without v1 (Debian's since 7.x) refuse it too: then v2's error says why.
        if (ioctl(chip, GPIO_GET_LINEHANDLE_IOCTL, &old) == 0) {
            err = 0;
            out.v1 = true;
            out.fd = old.fd;
        }
    }
    close(chip);  // the line request lives on without the chip descriptor
    if (err != 0) {
        out.fd = -1;
        if (who != nullptr)
            std::fprintf(stderr, "ERROR in %s, can't request line %d of %s as an output: %s\n", who, line, path,
                         std::strerror(err));
        return -1;
    }
    return 0;
}

int set(const char* who, const output& out, int value)
{
    int rc = 0;
    if (out.v1) {
        gpiohandle_data d{};
        d.values[0] = static_cast<__u8>(value ? 1 : 0);
        rc = ioctl(out.fd, GPIOHANDLE_SET_LINE_VALUES_IOCTL, &d);
    } else {
        gpio_v2_line_values v{};
        v.bits = value ? 1 : 0;
        v.mask = 1;
        rc = ioctl(out.fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &v);
    }
    if (rc == 0) return 0;
    std::fprintf(stderr, "ERROR in %s, can't drive the GPIO line: %s\n", who, std::strerror(errno));
    return -1;
}

void release(output& out)
{
    if (out.fd >= 0) close(out.fd);
    out.fd = -1;
}

}  // namespace hx::gpio
