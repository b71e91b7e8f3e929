// Servo/ESC service: the PWM class in sysfs.
#include "hx/servo.h"

#include "../sys/sysfs.h"

#include <array>
#include <cstdio>
#include <sys/stat.h>

namespace {

constexpr const char* chip = "/sys/class/pwm/pwmchip0";
constexpr const char* export_path = "/sys/class/pwm/pwmchip0/export";
constexpr const char* unexport_path = "/sys/class/pwm/pwmchip0/unexport";
constexpr const char* period_ns = "20000000";
constexpr int max_pulse_us = 19999;
constexpr int esc_min_us = 1000;
constexpr int esc_span_us = 1000;

int init_flag = 0;
std::array<bool, HX_SERVO_CHANNELS> started{};
std::array<bool, HX_SERVO_CHANNELS> exported{};

// Path of attribute attr of output i (0-based) into buf.
const char* attr_path(char (&buf)[64], int i, const char* attr)
{
    std::snprintf(buf, sizeof buf, "%s/pwm%d%s%s", chip, i, attr[0] ? "/" : "", attr);
    return buf;
}

bool is_dir(const char* path)
{
    struct stat st{};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Export or unexport output i: the chip takes its number as text.
int tell_chip(const char* who, const char* path, int i)
{
    char n[4];
    std::snprintf(n, sizeof n, "%d", i);
    return hx::sysfs::write_text(who, path, n);
}

int unexport(int i)
{
    exported[i] = false;
    return tell_chip("hx_servo_cleanup", unexport_path, i);
}

int stop_output(int i)
{
    char p[64];
    int rc = 0;
    // A zero width first, so the line rests low whatever the unit does on disable.
    rc |= hx::sysfs::write_text("hx_servo_cleanup", attr_path(p, i, "duty_cycle"), "0");
    rc |= hx::sysfs::write_text("hx_servo_cleanup", attr_path(p, i, "enable"), "0");
    if (exported[i]) rc |= unexport(i);
    started[i] = false;
    return rc == 0 ? 0 : -1;
}

int start_output(int i)
{
    constexpr const char* who = "hx_servo_init";
    char p[64];
    if (!is_dir(attr_path(p, i, ""))) {
        if (tell_chip(who, export_path, i) != 0) return -1;
        exported[i] = true;
        if (!is_dir(attr_path(p, i, ""))) {
            std::fprintf(stderr, "ERROR in %s, %s did not appear after export\n", who, p);
            return -1;
        }
    }
    // The kernel refuses a period shorter than the duty cycle: zero the width first.
    if (hx::sysfs::write_text(who, attr_path(p, i, "duty_cycle"), "0") != 0 ||
        hx::sysfs::write_text(who, attr_path(p, i, "period"), period_ns) != 0 ||
        hx::sysfs::write_text(who, attr_path(p, i, "enable"), "1") != 0) {
        return -1;
    }
    started[i] = true;
    return 0;
}

int set_width(int i, int us)
{
    char p[64];
    char ns[16];
    std::snprintf(ns, sizeof ns, "%d", us * 1000);
    return hx::sysfs::write_text("hx_servo_send_pulse_us", attr_path(p, i, "duty_cycle"), ns);
}

}  // namespace

extern "C" {

int hx_servo_init(void)
{
    if (init_flag) return 0;
    if (!is_dir(chip)) {
        std::fprintf(stderr, "ERROR in hx_servo_init, %s not found: is the PWM overlay loaded?\n", chip);
        return -1;
    }
    for (int i = 0; i < HX_SERVO_CHANNELS; ++i) {
        if (start_output(i) != 0) {
            if (exported[i]) unexport(i);
            hx_servo_cleanup();
            return -1;
        }
    }
    init_flag = 1;
    return 0;
}

int hx_servo_send_pulse_us(int ch, int us)
{
    constexpr const char* who = "hx_servo_send_pulse_us";
    if (!init_flag) {
        std::fprintf(stderr, "ERROR in %s, call hx_servo_init first\n", who);
        return -1;
    }
    if (ch < 0 || ch > HX_SERVO_CHANNELS) {
        std::fprintf(stderr, "ERROR in %s, channel must be 0 (all) to %d\n", who, HX_SERVO_CHANNELS);
        return -1;
    }
    if (us < 1 || us > max_pulse_us) {
        std::fprintf(stderr, "ERROR in %s, pulse must be 1 to %d us\n", who, max_pulse_us);
        return -1;
    }
    if (ch != HX_SERVO_ALL) return set_width(ch - 1, us);
    int rc = 0;
    for (int i = 0; i < HX_SERVO_CHANNELS; ++i) rc |= set_width(i, us);
    return rc == 0 ? 0 : -1;
}

int hx_servo_send_esc_pulse_normalized(int ch, double width)
{
    if (!(width >= 0.0 && width <= 1.0)) {
        std::fputs("ERROR in hx_servo_send_esc_pulse_normalized, width must be 0.0 to 1.0\n", stderr);
        return -1;
    }
    return hx_servo_send_pulse_us(ch, esc_min_us + static_cast<int>(esc_span_us * width + 0.5));
}

int hx_servo_cleanup(void)
{
    int rc = 0;
    for (int i = 0; i < HX_SERVO_CHANNELS; ++i) {
        if (started[i]) rc |= stop_output(i);
    }
    init_flag = 0;
    return rc == 0 ? 0 : -1;
}

}  // extern "C"
