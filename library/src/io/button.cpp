// Button service, kernel side: line requests on the GPIO character device.
#include "hx/button.h"

#include "button_events.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr const char* consumer = "halvex-button";

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
    std::snprintf(path, sizeof path, "/dev/gpiochip%d", chip);
    const int chip_fd = open(path, O_RDWR | O_CLOEXEC);
    if (chip_fd < 0) {
        std::fprintf(stderr, "ERROR in %s, can't open %s: %s\n", who, path, std::strerror(errno));
        return -1;
    }
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
    const int rc = ioctl(chip_fd, GPIO_V2_GET_LINE_IOCTL, &req);
    const int saved = errno;
    close(chip_fd);  // the line request lives on without the chip descriptor
    if (rc < 0) {
        std::fprintf(stderr, "ERROR in %s, can't request line %d of %s: %s\n", who, pin, path,
                     std::strerror(saved));
        return -1;
    }
    return hx::button_events::attach(who, chip, pin, polarity, req.fd);
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

}  // extern "C"
