// Servo/ESC service: eight PWM outputs of the AM335x through the PWM class in sysfs.
//
// Chip numbers (pwmchipN) follow probe order and differ between kernels, so each unit
// is found by its register address, the last component of pwmchipN/device. An
// exported output is pwmchipN/pwm<k> upstream and pwmchipN/pwm-<N>:<k> on vendor 4.x
// kernels. Up to 6.10 the kernel refuses any write that leaves an invalid state
// (period 0, or duty above period), so every write below keeps the state valid.
#include "hx/servo.h"
#include "hx/board.h"

#include "../sys/sysfs.h"
#include "servo_guard.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct output_def {
    std::array<const char*, 2> unit;  // the unit's device, under each name kernels give it
    int k;                            // output of the unit: A = 0, B = 1
};
// eHRPWM0 A/B, eHRPWM1 A/B, eHRPWM2 A/B, eCAP0, eCAP1 (named "<addr>.ecap" on vendor
// 4.x kernels, "<addr>.pwm" later).
constexpr std::array<output_def, HX_SERVO_CHANNELS> outputs = {{
    {{"48300200.pwm", nullptr}, 0}, {{"48300200.pwm", nullptr}, 1},
    {{"48302200.pwm", nullptr}, 0}, {{"48302200.pwm", nullptr}, 1},
    {{"48304200.pwm", nullptr}, 0}, {{"48304200.pwm", nullptr}, 1},
    {{"48300100.ecap", "48300100.pwm"}, 0}, {{"48302100.ecap", "48302100.pwm"}, 0},
}};
constexpr const char* pwm_class = "/sys/class/pwm";
constexpr const char* period_ns = "20000000";
constexpr int max_pulse_us = 19999;
constexpr int esc_min_us = 1000;
constexpr int esc_span_us = 1000;
using hx::servo_guard::chip_max;
using hx::servo_guard::path_max;
using guarded = hx::servo_guard::guarded;

// One output as the service keeps it.
struct output {
    char chip[chip_max];  // the unit's pwmchipN directory; "" when absent or skipped
    char dir[path_max];   // the output's directory once found
    int chip_n;           // the N of pwmchipN, which names the output on vendor 4.x
    int k;                // output number within the unit
    bool started;
    bool exported;  // by the service, so that it is unexported at the end
};
// After export the attributes may be root-only for a moment, until udev has applied
// the group's rules: a caller that is not root waits this long for them.
constexpr int udev_wait_ms = 1000;

int init_flag = 0;
bool guardian_lost = false;  // the guardian ended under a running service
std::array<output, HX_SERVO_CHANNELS> out{};

bool is_dir(const char* path)
{
    struct stat st{};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// The pwmchipN directory of output i's unit, into o.chip (and N into o.chip_n).
bool find_chip(int i, output& o)
{
    const output_def& def = outputs[static_cast<std::size_t>(i)];
    const int names = def.unit[1] != nullptr ? 2 : 1;
    if (hx::sysfs::find_device(pwm_class, "pwmchip", def.unit.data(), names, o.chip, sizeof o.chip) < 0) return false;
    o.chip_n = std::atoi(std::strrchr(o.chip, '/') + 8);
    return true;
}

// The output's directory under either name, into o.dir; false when neither exists.
bool find_output_dir(output& o)
{
    std::snprintf(o.dir, sizeof o.dir, "%.63s/pwm%d", o.chip, o.k);
    if (is_dir(o.dir)) return true;
    std::snprintf(o.dir, sizeof o.dir, "%.63s/pwm-%d:%d", o.chip, o.chip_n, o.k);
    return is_dir(o.dir);
}

int write_attr(const char* who, const output& o, const char* attr, const char* text)
{
    char path[path_max + 16];
    std::snprintf(path, sizeof path, "%s/%s", o.dir, attr);
    return hx::sysfs::write_text(who, path, text);
}

// Export or unexport the output: its chip takes the output's number as text.
int tell_chip(const char* who, const output& o, const char* verb)
{
    char path[path_max + 16];
    char n[4];
    std::snprintf(path, sizeof path, "%s/%s", o.chip, verb);
    std::snprintf(n, sizeof n, "%d", o.k);
    return hx::sysfs::write_text(who, path, n);
}

// Width 0 and disabled; the output stays exported.
int halt_output(const char* who, int i)
{
    const output& o = out[static_cast<std::size_t>(i)];
    // A zero width first, so the line rests low whatever the unit does on disable.
    int rc = write_attr(who, o, "duty_cycle", "0");
    rc |= write_attr(who, o, "enable", "0");
    return rc;
}

int stop_output(int i)
{
    constexpr const char* who = "hx_servo_cleanup";
    output& o = out[static_cast<std::size_t>(i)];
    int rc = halt_output(who, i);
    if (o.exported) rc |= tell_chip(who, o, "unexport");
    o.started = false;
    o.exported = false;
    return rc == 0 ? 0 : -1;
}

// Wait until an attribute of a freshly exported output can be opened for writing, or
// the wait is over (the write that follows then says why).
void wait_for_udev(const output& o)
{
    char path[path_max + 16];
    std::snprintf(path, sizeof path, "%s/period", o.dir);
    for (int waited = 0; waited < udev_wait_ms; waited += 10) {
        const int f = open(path, O_WRONLY | O_CLOEXEC);
        if (f >= 0) {
            close(f);
            return;
        }
        if (errno != EACCES) return;
        usleep(10000);
    }
}

// A 20 ms period, zero width, enabled. On an output with period 0 the period comes
// first; on one that has a period (someone used it, or the kernel kept its state from
// an earlier export), the output is disabled first, then period and width are written
// in the order that keeps the width within the period at each step.
int start_output(int i, bool ours)
{
    constexpr const char* who = "hx_servo_init";
    output& o = out[static_cast<std::size_t>(i)];
    if (!find_output_dir(o)) {
        if (tell_chip(who, o, "export") != 0) return -1;
        o.exported = ours;
        if (!find_output_dir(o)) {
            std::fprintf(stderr, "ERROR in %s, output %d of %s did not appear after export\n", who, o.k, o.chip);
            return -1;
        }
        wait_for_udev(o);
    }
    char path[path_max + 16];
    char period[32], duty[32];
    std::snprintf(path, sizeof path, "%s/period", o.dir);
    if (hx::sysfs::read_text(who, path, period, sizeof period) < 0) return -1;
    if (std::strtoull(period, nullptr, 10) == 0) {
        if (write_attr(who, o, "period", period_ns) != 0 || write_attr(who, o, "duty_cycle", "0") != 0)
            return -1;
    } else {
        std::snprintf(path, sizeof path, "%s/duty_cycle", o.dir);
        if (write_attr(who, o, "enable", "0") != 0 || hx::sysfs::read_text(who, path, duty, sizeof duty) < 0)
            return -1;
        // Vendor 4.x kernels set the unit up on every change of period or width, enabled
        // or not, so the width must fit the period at every step.
        const bool period_first = std::strtoull(duty, nullptr, 10) <= std::strtoull(period_ns, nullptr, 10);
        const char* first = period_first ? "period" : "duty_cycle";
        const char* second = period_first ? "duty_cycle" : "period";
        if (write_attr(who, o, first, period_first ? period_ns : "0") != 0 ||
            write_attr(who, o, second, period_first ? "0" : period_ns) != 0)
            return -1;
    }
    if (write_attr(who, o, "enable", "1") != 0) return -1;
    o.started = true;
    return 0;
}

// Both outputs of an eHRPWM share one period, and its driver refuses a period that
// conflicts with the other output's until that output is freed (unexported): an output
// someone left exported with another period is stopped and freed here, and exported
// again when it is started. It stays exported at the end, as it was found.
void free_foreign_period(int i, bool& reexport)
{
    constexpr const char* who = "hx_servo_init";
    output& o = out[static_cast<std::size_t>(i)];
    char path[path_max + 16];
    char period[32];
    std::snprintf(path, sizeof path, "%s/period", o.dir);
    if (hx::sysfs::read_text(who, path, period, sizeof period) < 0 || std::strcmp(period, period_ns) == 0) return;
    write_attr(who, o, "enable", "0");
    if (tell_chip(who, o, "unexport") == 0) reexport = true;
}

// One pulse: the width, and the output enabled again if the guardian had stopped it
// for want of pulses. If the guardian stops it between the look and the write (only
// when the guardian itself was held up), its zero may have come after ours: write ours
// again.
int set_width(int i, int us)
{
    constexpr const char* who = "hx_servo_send_pulse_us";
    const output& o = out[static_cast<std::size_t>(i)];
    char ns[16];
    std::snprintf(ns, sizeof ns, "%d", us * 1000);
    hx::servo_guard::fresh(i);
    if (!hx::servo_guard::stopped(i)) {
        if (write_attr(who, o, "duty_cycle", ns) != 0) return -1;
        if (!hx::servo_guard::stopped(i)) return 0;
    }
    if (write_attr(who, o, "duty_cycle", ns) != 0 || write_attr(who, o, "enable", "1") != 0) return -1;
    hx::servo_guard::live(i);
    return 0;
}

}  // namespace

extern "C" {

int hx_servo_init(void)
{
    constexpr const char* who = "hx_servo_init";
    if (init_flag) return 0;
    int present = 0;
    for (int i = 0; i < HX_SERVO_CHANNELS; ++i) {
        output& o = out[static_cast<std::size_t>(i)];
        o = output{};
        o.k = outputs[static_cast<std::size_t>(i)].k;
        if (find_chip(i, o)) ++present;
    }
    if (present == 0) {
        std::fprintf(stderr, "ERROR in %s, no PWM unit of the board in %s: is the PWM overlay loaded?\n", who,
                     pwm_class);
        return -1;
    }
    std::array<bool, HX_SERVO_CHANNELS> reexport{};
    for (int i = 0; i < HX_SERVO_CHANNELS; ++i) {
        output& o = out[static_cast<std::size_t>(i)];
        if (o.chip[0] != '\0' && find_output_dir(o)) free_foreign_period(i, reexport[static_cast<std::size_t>(i)]);
    }
    // Outputs someone left exported (at 20 ms now) are started first, so that a fresh
    // output of the same eHRPWM meets their period. An output the kernel will not give
    // (held by a kernel driver: export answers EBUSY) or refuses to set up is skipped
    // like an absent unit, after its message.
    int started = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < HX_SERVO_CHANNELS; ++i) {
            output& o = out[static_cast<std::size_t>(i)];
            if (o.chip[0] == '\0' || o.started || find_output_dir(o) != (pass == 0)) continue;
            if (start_output(i, !reexport[static_cast<std::size_t>(i)]) == 0) {
                ++started;
                continue;
            }
            if (o.exported) tell_chip(who, o, "unexport");
            o.exported = false;
            o.chip[0] = '\0';
        }
    }
    if (started == 0) {
        std::fprintf(stderr, "ERROR in %s, none of the board's PWM outputs could be started\n", who);
        return -1;
    }
    // The guardian's copy of what it needs to stop and release each output.
    std::array<guarded, HX_SERVO_CHANNELS> g{};
    for (std::size_t i = 0; i < g.size(); ++i) {
        std::memcpy(g[i].chip, out[i].chip, sizeof g[i].chip);
        std::memcpy(g[i].dir, out[i].dir, sizeof g[i].dir);
        g[i].k = out[i].k;
        g[i].started = out[i].started;
        g[i].exported = out[i].exported;
    }
    if (hx::servo_guard::start(g.data(), HX_SERVO_CHANNELS) != 0) {
        hx_servo_cleanup();
        return -1;
    }
    guardian_lost = false;
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
    if (ch != HX_SERVO_ALL && !out[static_cast<std::size_t>(ch - 1)].started) {
        std::fprintf(stderr, "ERROR in %s, channel %d has no PWM output on this board\n", who, ch);
        return -1;
    }
    if (guardian_lost) return -1;
    if (!hx::servo_guard::alive()) {
        // Nothing would stop the outputs if the program died now: stop them, and take no
        // more pulses until the service is started again.
        guardian_lost = true;
        for (int i = 0; i < HX_SERVO_CHANNELS; ++i)
            if (out[static_cast<std::size_t>(i)].started) halt_output(who, i);
        std::fprintf(stderr,
                     "ERROR in %s, the output guardian has ended: every output is stopped and pulses are "
                     "refused until hx_servo_cleanup and hx_servo_init\n",
                     who);
        return -1;
    }
    if (ch != HX_SERVO_ALL) return set_width(ch - 1, us);
    int rc = 0;
    for (int i = 0; i < HX_SERVO_CHANNELS; ++i)
        if (out[static_cast<std::size_t>(i)].started) rc |= set_width(i, us);
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

// The outputs are stopped while the guardian still watches, and only then is it let
// go: a program killed in the middle of its cleanup leaves nothing running.
int hx_servo_cleanup(void)
{
    // Every output is taken from the guardian first, so that a cleanup that comes, or
    // lasts, more than three periods after the last pulse does not meet the guardian
    // stopping the same outputs: the program's stop is the last write on each.
    for (int i = 0; i < HX_SERVO_CHANNELS; ++i) {
        if (out[static_cast<std::size_t>(i)].started) hx::servo_guard::keep_off(i);
    }
    int rc = 0;
    for (int i = 0; i < HX_SERVO_CHANNELS; ++i) {
        if (out[static_cast<std::size_t>(i)].started) rc |= stop_output(i);
    }
    hx::servo_guard::end();
    init_flag = 0;
    guardian_lost = false;
    return rc == 0 ? 0 : -1;
}


int hx_board_pwm(int ch, char* where, size_t cap)
{
    if (ch < 1 || ch > HX_SERVO_CHANNELS || where == nullptr || cap == 0) return -1;
    const output_def& def = outputs[static_cast<std::size_t>(ch - 1)];
    output o{};
    if (!find_chip(ch - 1, o)) {
        std::snprintf(where, cap, "no %.8s PWM unit in %s", def.unit[0], pwm_class);
        return 0;
    }
    char link[path_max];
    std::snprintf(link, sizeof link, "%s/device", o.chip);
    char target[path_max] = "";
    const ssize_t n = readlink(link, target, sizeof target - 1);
    target[n > 0 ? n : 0] = '\0';
    const char* name = std::strrchr(target, '/');
    std::snprintf(where, cap, "pwmchip%d output %d (%s)", o.chip_n, def.k, name != nullptr ? name + 1 : def.unit[0]);
    return 1;
}

}  // extern "C"
