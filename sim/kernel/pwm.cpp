// The PWM class as each kernel generation offers it: export and unexport (pwm<k> or
// pwm-<N>:<k>, EBUSY, ENODEV), strict (up to 6.10) or lenient (6.11+) validation, one
// period per eHRPWM, ERANGE above 1 s, and a record of every change of period,
// duty_cycle or enable with its time and writer.
#include "kstrto.h"
#include "model.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace simk {

namespace {

struct pwm_out {
    bool exported = false;
    uint64_t period = 0, duty = 0;
    bool enabled = false;
    uint64_t configured_period = 0;  // what the eHRPWM was last set up with
};
struct pwm_chip {
    pwm_unit_def def;
    int number = 0;
    std::string dir;
    std::vector<pwm_out> out;
};
std::vector<pwm_chip> chips;
std::string pwm_log;
std::string writer = "?";

std::string output_name(const pwm_chip& c, int k)
{
    return profile->pwm_dash_names ? "pwm-" + std::to_string(c.number) + ":" + std::to_string(k)
                                   : "pwm" + std::to_string(k);
}

// Whether the driver sets the unit up for this state: on 4.x kernels the core calls the
// driver's config whenever period or duty changes (enabled or not), later ones the
// driver's apply only for an enabled output.
bool configures(const pwm_out& prev, const pwm_out& next)
{
    if (profile->pwm_config_on_change) return next.period != prev.period || next.duty != prev.duty;
    return next.enabled;
}

// What pwm_apply and the unit's driver say of a new state.
int validate(const pwm_chip& c, int k, const pwm_out& next)
{
    const pwm_out& prev = c.out[static_cast<size_t>(k)];
    if (!profile->pwm_lenient || next.enabled) {
        if (next.period == 0 || next.duty > next.period) return -EINVAL;
    }
    if (configures(prev, next) && c.def.ehrpwm) {
        if (next.period > 1000000000ULL) return -ERANGE;
        const pwm_out& other = c.out[static_cast<size_t>(k ^ 1)];
        // Both outputs of one eHRPWM run on one time base.
        if (other.exported && other.configured_period != 0 && other.configured_period != next.period)
            return -EINVAL;
    }
    return 0;
}

int apply(size_t ci, int k, const pwm_out& next, const char* attr, uint64_t value)
{
    pwm_chip& c = chips[ci];
    if (const int rc = validate(c, k, next)) return rc;
    pwm_out& o = c.out[static_cast<size_t>(k)];
    const bool configured = configures(o, next);
    o = next;
    if (configured) o.configured_period = o.period;
    char line[160];
    std::snprintf(line, sizeof line, "%lld %s %d %s %llu %s\n", now_us(), c.def.dev, k, attr,
                  static_cast<unsigned long long>(value), writer.c_str());
    pwm_log += line;
    return 0;
}

// kstrtouint on 4.x kernels, kstrtou64 later.
int parse_ns(const std::string& s, uint64_t* v)
{
    if (profile->pwm_u32) {
        uint32_t u = 0;
        const int rc = kstrto::u32(s, &u);
        *v = u;
        return rc;
    }
    return kstrto::u64(s, v);
}

// After export, how long an output's attributes stay root-only before udev applies the
// group's rules (0: at once).
long long udev_us = 0;

void add_output(size_t ci, int k)
{
    const std::string dir = chips[ci].dir + "/" + output_name(chips[ci], k);
    const auto out = [ci, k]() -> pwm_out& { return chips[ci].out[static_cast<size_t>(k)]; };
    the_tree.attr(dir + "/period", [out](std::string& s) { s = num(out().period) + "\n"; return 0; },
        [ci, k, out](const std::string& s) {
            pwm_out next = out();
            if (const int rc = parse_ns(s, &next.period)) return rc;
            return apply(ci, k, next, "period", next.period);
        });
    the_tree.attr(dir + "/duty_cycle", [out](std::string& s) { s = num(out().duty) + "\n"; return 0; },
        [ci, k, out](const std::string& s) {
            pwm_out next = out();
            if (const int rc = parse_ns(s, &next.duty)) return rc;
            return apply(ci, k, next, "duty_cycle", next.duty);
        });
    the_tree.attr(dir + "/enable", [out](std::string& s) { s = num(out().enabled) + "\n"; return 0; },
        [ci, k, out](const std::string& s) {
            int32_t v = 0;
            if (const int rc = kstrto::s32(s, &v)) return rc;
            if (v != 0 && v != 1) return -EINVAL;
            pwm_out next = out();
            next.enabled = v == 1;
            return apply(ci, k, next, "enable", static_cast<uint64_t>(v));
        });
    the_tree.attr(dir + "/polarity", [](std::string& s) { s = "normal\n"; return 0; });
    if (udev_us > 0) {
        for (const char* a : {"period", "duty_cycle", "enable", "polarity"})
            the_tree.find(dir + "/" + a)->closed_until_us = now_us() + udev_us;
    }
}

void add_pwm_chip(size_t ci)
{
    pwm_chip& c = chips[ci];
    const std::string dev = c.def.dev;
    const std::string devdir = epwmss_dir(dev) + "/" + dev;
    const std::string n = "pwmchip" + std::to_string(c.number);
    c.dir = devdir + "/pwm/" + n;
    c.out.assign(static_cast<size_t>(c.def.npwm), pwm_out{});
    const std::string npwm = std::to_string(c.def.npwm) + "\n";
    the_tree.attr(c.dir + "/npwm", [npwm](std::string& s) { s = npwm; return 0; });
    the_tree.attr(c.dir + "/export", {}, [ci](const std::string& s) {
        uint32_t k = 0;
        if (const int rc = kstrto::u32(s, &k)) return rc;
        pwm_chip& ch = chips[ci];
        if (k >= ch.out.size()) return -ENODEV;
        if (ch.out[k].exported) return -EBUSY;
        // The core keeps an output's state (period, duty, enable) from before: export
        // resets nothing.
        ch.out[k].exported = true;
        add_output(ci, static_cast<int>(k));
        return 0;
    });
    the_tree.attr(c.dir + "/unexport", {}, [ci](const std::string& s) {
        uint32_t k = 0;
        if (const int rc = kstrto::u32(s, &k)) return rc;
        pwm_chip& ch = chips[ci];
        if (k >= ch.out.size() || !ch.out[k].exported) return -ENODEV;
        // Freeing an output leaves the core's state as it was; the eHRPWM driver forgets
        // the output's period (its free sets period_cycles to 0), which ends a conflict
        // with the other output.
        ch.out[k].exported = false;
        ch.out[k].configured_period = 0;
        the_tree.remove(ch.dir + "/" + output_name(ch, static_cast<int>(k)));
        return 0;
    });
    the_tree.link(c.dir + "/device", devdir);
    the_tree.link("/class/pwm/" + n, c.dir);
}

}  // namespace

void add_pwm_chips()
{
    int global = 0;
    for (size_t i = 0; i < profile->pwm.size(); ++i) {
        chips.emplace_back();
        chips[i].def = profile->pwm[i];
        chips[i].number = profile->pwm_global_numbers ? global : static_cast<int>(i);
        global += profile->pwm[i].npwm;
        add_pwm_chip(i);
    }
    the_tree.dir("/class/pwm");
}

void set_udev_delay(long long ms) { udev_us = ms * 1000; }

void set_writer(const std::string& comm) { writer = comm; }

const std::string& pwm_record() { return pwm_log; }

}  // namespace simk
