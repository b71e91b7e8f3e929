// The drivers as the kernel's sources describe them (see the board's kernel notes):
// text formats, parsing, errno and side effects, per kernel generation.
#include "board.h"

#include "kstrto.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sstream>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace simk {

namespace {

long long now_us()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

std::string num(uint64_t v) { return std::to_string(v); }

// ---- profiles ----------------------------------------------------------------------

struct pwm_unit_def {
    const char* dev;
    int npwm;
    bool ehrpwm;
};

struct profile_def {
    const char* name;
    bool legacy_eqep;                  // vendor 4.x: the out-of-tree eQEP attributes
    std::vector<const char*> counters; // counter subsystem: unit addresses in counterN order
    std::vector<const char*> rprocs;   // remoteprocN order
    bool rproc_name;                   // the `name` attribute (since 5.4)
    std::vector<pwm_unit_def> pwm;     // probe order
    bool pwm_global_numbers;           // pwmchip<first global number>, up to 6.6
    bool pwm_dash_names;               // exported outputs named pwm-<N>:<k>
    bool pwm_lenient;                  // 6.11+: any order while disabled
    std::vector<const char*> gpio;     // banks in gpiochipN order
    std::vector<int> uarts;
    const char* ocp;                   // where the units sit below /devices/platform
};

constexpr const char* m3 = "44d00000.m3";
constexpr const char* pru0 = "4a334000.pru";
constexpr const char* pru1 = "4a338000.pru";
constexpr const char* bank0 = "44e07000.gpio";
constexpr const char* bank1 = "4804c000.gpio";
constexpr const char* bank2 = "481ac000.gpio";
constexpr const char* bank3 = "481ae000.gpio";

const std::vector<profile_def>& profiles()
{
    static const std::vector<profile_def> all = {
        // An eCAP probes before the eHRPWMs; chips numbered by their first global PWM.
        {"vendor-4.19", true, {}, {m3, pru0, pru1}, false,
         {{"48300100.ecap", 1, false}, {"48300200.pwm", 2, true}, {"48302200.pwm", 2, true},
          {"48304200.pwm", 2, true}, {"48302100.ecap", 1, false}, {"48304100.ecap", 1, false}},
         true, true, false, {bank0, bank1, bank2, bank3}, {0, 1, 2, 4, 5}, "/devices/platform/ocp"},
        {"vendor-6.1", false, {"48300180", "48302180", "48304180"}, {m3, pru0, pru1}, true,
         {{"48300200.pwm", 2, true}, {"48302200.pwm", 2, true}, {"48304200.pwm", 2, true},
          {"48300100.pwm", 1, false}, {"48302100.pwm", 1, false}, {"48304100.pwm", 1, false}},
         true, false, false, {bank0, bank1, bank2, bank3}, {0, 1, 2, 4, 5},
         "/devices/platform/ocp/48300000.target-module"},
        // Counters, remote processors and GPIO banks in an order no guess would give.
        {"mainline-6.12", false, {"48304180", "48300180", "48302180"}, {pru0, pru1, m3}, true,
         {{"48300100.pwm", 1, false}, {"48300200.pwm", 2, true}, {"48302200.pwm", 2, true},
          {"48304200.pwm", 2, true}, {"48302100.pwm", 1, false}, {"48304100.pwm", 1, false}},
         false, false, true, {bank1, bank2, bank3, bank0}, {0, 1, 2, 4, 5},
         "/devices/platform/ocp/48300000.target-module"},
        // Nothing of the board's: every lookup fails.
        {"bare", false, {}, {}, false, {}, false, false, false, {}, {}, "/devices/platform/ocp"},
    };
    return all;
}

const profile_def* profile = nullptr;
tree the_tree;

// The directory of the EPWMSS that holds a unit at address addr (4830x...).
std::string epwmss_dir(const std::string& addr)
{
    return std::string(profile->ocp) + "/" + addr.substr(0, 5) + "000.epwmss";
}

// ---- eQEP: legacy attributes or a counter device -------------------------------------

struct eqep_unit {
    std::string addr;  // "48300180"
    bool enabled = false;
    uint64_t ceiling = UINT32_MAX;
    uint64_t base = 0;  // the count at t0
    double rate = 0;    // counts per second while counting
    long long t0 = 0;

    bool counting() const { return enabled && ceiling > 0; }
    uint64_t count() const
    {
        if (!counting() || rate == 0) return base;
        const auto steps = static_cast<long long>(std::floor(rate * static_cast<double>(now_us() - t0) / 1e6));
        const auto m = static_cast<long long>(ceiling + 1);
        return static_cast<uint64_t>(((static_cast<long long>(base) + steps % m) % m + m) % m);
    }
    void fold()
    {
        base = count();
        t0 = now_us();
    }
};
std::vector<eqep_unit> eqeps;

eqep_unit* eqep(const std::string& addr)
{
    for (auto& u : eqeps)
        if (u.addr == addr) return &u;
    return nullptr;
}

void add_legacy_eqep(size_t i)
{
    const std::string dir = epwmss_dir(eqeps[i].addr) + "/" + eqeps[i].addr + ".eqep";
    eqeps[i].enabled = true;  // the driver counts from probe on
    the_tree.attr(dir + "/enabled",
        [i](std::string& s) { s = num(eqeps[i].enabled) + "\n"; return 0; },
        [i](const std::string& s) {
            uint8_t v = 0;
            if (const int rc = kstrto::u8(s, &v)) return rc;
            eqeps[i].fold();
            eqeps[i].enabled = v != 0;
            return 0;
        });
    the_tree.attr(dir + "/position",
        [i](std::string& s) { s = std::to_string(static_cast<int32_t>(eqeps[i].count())) + "\n"; return 0; },
        [i](const std::string& s) {
            int32_t v = 0;
            if (const int rc = kstrto::s32(s, &v)) return rc;
            eqeps[i].base = static_cast<uint32_t>(v);
            eqeps[i].t0 = now_us();
            return 0;
        });
    auto period = std::make_shared<uint64_t>(0);
    the_tree.attr(dir + "/period", [period](std::string& s) { s = num(*period) + "\n"; return 0; },
        [period](const std::string& s) { return kstrto::u64(s, period.get()); });
    auto mode = std::make_shared<uint8_t>(0);
    the_tree.attr(dir + "/mode", [mode](std::string& s) { s = num(*mode) + "\n"; return 0; },
        [mode](const std::string& s) {
            uint8_t v = 0;
            if (const int rc = kstrto::u8(s, &v)) return rc;
            if (v > 1) return -EINVAL;
            *mode = v;
            return 0;
        });
}

void add_counter(size_t i, int index)
{
    const std::string n = "counter" + std::to_string(index);
    const std::string dir = epwmss_dir(eqeps[i].addr) + "/" + eqeps[i].addr + ".counter/" + n;
    eqeps[i].enabled = false;  // off after probe, and the ceiling is 0: nothing counts
    eqeps[i].ceiling = 0;
    const std::string name = eqeps[i].addr + ".counter\n";
    the_tree.attr(dir + "/name", [name](std::string& s) { s = name; return 0; });
    the_tree.attr(dir + "/count0/count",
        [i](std::string& s) { s = num(eqeps[i].count()) + "\n"; return 0; },
        [i](const std::string& s) {
            uint64_t v = 0;
            if (const int rc = kstrto::u64(s, &v)) return rc;
            if (v > eqeps[i].ceiling) return -EINVAL;
            eqeps[i].base = v;
            eqeps[i].t0 = now_us();
            return 0;
        });
    the_tree.attr(dir + "/count0/ceiling",
        [i](std::string& s) { s = num(eqeps[i].ceiling) + "\n"; return 0; },
        [i](const std::string& s) {
            uint64_t v = 0;
            if (const int rc = kstrto::u64(s, &v)) return rc;
            if (v > UINT32_MAX) return -ERANGE;
            eqeps[i].fold();
            eqeps[i].ceiling = v;
            return 0;
        });
    the_tree.attr(dir + "/count0/enable",
        [i](std::string& s) { s = num(eqeps[i].enabled) + "\n"; return 0; },
        [i](const std::string& s) {
            bool v = false;
            if (const int rc = kstrto::boolean(s, &v)) return rc;
            eqeps[i].fold();
            eqeps[i].enabled = v;
            return 0;
        });
    the_tree.attr(dir + "/count0/direction", [i](std::string& s) {
        s = eqeps[i].rate < 0 ? "backward\n" : "forward\n";
        return 0;
    });
    the_tree.link("/bus/counter/devices/" + n, dir);
}

// ---- remoteproc and the PRU encoder firmware emulator ----------------------------------

enum class image { absent, encoder, other, bad };
std::map<std::string, image> firmware_files = {
    {"am335x-pru0-hx-encoder-fw", image::encoder},
    {"am335x-pru0-fw", image::other},
    {"am335x-pru1-fw", image::other},
    {"am335x-pm-firmware.elf", image::other},
};

struct rproc {
    std::string dev;
    std::string state = "offline";
    std::string firmware;
    bool encoder = false;  // the running image is the encoder firmware
    // The emulator's behaviour: clear the count word at start, after a delay, only when
    // told, or never.
    std::string handshake = "at-start";
    long long after_ms = 0;
    bool cleared = false;
    long long started = 0;
    int step = 0;  // added to the count word every millisecond once cleared
    long long stepped = 0;
    int starts = 0, stops = 0;
    uint32_t word_at_stop = 0;  // the count word when the core was last stopped
};
std::vector<rproc> rprocs;

constexpr off_t pru_ram_phys = 0x4A310000;
constexpr size_t pru_ram_size = 0x3000;
constexpr int count_word = 16;
volatile uint32_t* ram = nullptr;

volatile uint32_t* shared_ram()
{
    if (ram != nullptr) return ram;
    const int f = open("/dev/mem", O_RDWR | O_CLOEXEC);
    if (f < 0) return nullptr;
    void* m = mmap(nullptr, pru_ram_size, PROT_READ | PROT_WRITE, MAP_SHARED, f, pru_ram_phys);
    close(f);
    if (m != MAP_FAILED) ram = static_cast<volatile uint32_t*>(m);
    return ram;
}

void clear_word(rproc& r)
{
    if (volatile uint32_t* w = shared_ram()) w[count_word] = 0;
    r.cleared = true;
    r.stepped = now_us();
}

int rproc_start(rproc& r)
{
    if (r.state == "running") return -EBUSY;
    const auto it = firmware_files.find(r.firmware);
    if (it == firmware_files.end() || it->second == image::absent) return -ENOENT;
    if (it->second == image::bad) return -EINVAL;
    r.state = "running";
    r.encoder = it->second == image::encoder;
    r.cleared = false;
    r.started = now_us();
    ++r.starts;
    if (r.encoder && r.handshake == "at-start") clear_word(r);
    return 0;
}

void add_rproc(size_t i, int index)
{
    rproc& r = rprocs[i];
    const bool is_pru = r.dev.find(".pru") != std::string::npos;
    r.firmware = r.dev == pru0 ? "am335x-pru0-fw" : r.dev == pru1 ? "am335x-pru1-fw" : "am335x-pm-firmware.elf";
    if (!is_pru) r.state = "running";
    const std::string parent = is_pru ? std::string(profile->ocp) + "/4a300000.pruss/" + r.dev
                                      : std::string(profile->ocp) + "/" + r.dev;
    const std::string n = "remoteproc" + std::to_string(index);
    const std::string dir = parent + "/remoteproc/" + n;
    the_tree.attr(dir + "/state",
        [i](std::string& s) { s = rprocs[i].state + "\n"; return 0; },
        [i](const std::string& s) {
            rproc& p = rprocs[i];
            if (kstrto::streq(s, "start")) return rproc_start(p);
            if (kstrto::streq(s, "stop")) {
                if (p.state != "running") return -EINVAL;
                if (volatile uint32_t* w = shared_ram()) p.word_at_stop = w[count_word];
                p.state = "offline";
                p.encoder = false;
                ++p.stops;
                return 0;
            }
            return -EINVAL;
        });
    the_tree.attr(dir + "/firmware",
        [i](std::string& s) { s = rprocs[i].firmware + "\n"; return 0; },
        [i](const std::string& s) {
            if (rprocs[i].state != "offline") return -EBUSY;
            const std::string name = s.substr(0, s.find('\n'));
            if (name.empty()) return -EINVAL;
            rprocs[i].firmware = name;
            return 0;
        });
    if (profile->rproc_name) {
        const std::string name = r.dev + "\n";
        the_tree.attr(dir + "/name", [name](std::string& s) { s = name; return 0; });
    }
    the_tree.link(dir + "/device", parent);
    the_tree.link("/class/remoteproc/" + n, dir);
}

// ---- PWM class ------------------------------------------------------------------------

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
    if (profile->legacy_eqep) return next.period != prev.period || next.duty != prev.duty;
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
    if (profile->legacy_eqep) {
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

// ---- GPIO banks and UARTs: only their discovery links ------------------------------------

void add_gpio(const char* bank, int index)
{
    const std::string n = "gpiochip" + std::to_string(index);
    const std::string dir = std::string(profile->ocp) + "/" + bank + "/" + n;
    const std::string dev = "254:" + std::to_string(index) + "\n";
    the_tree.attr(dir + "/dev", [dev](std::string& s) { s = dev; return 0; });
    the_tree.link("/bus/gpio/devices/" + n, dir);
}

void add_uart(int n)
{
    static const char* const addr[] = {"44e09000", "48022000", "48024000", "481a6000", "481a8000", "481aa000"};
    const std::string devdir = std::string(profile->ocp) + "/" + addr[n] + ".serial";
    const std::string dir = devdir + "/tty/ttyS" + std::to_string(n);
    const std::string dev = "4:" + std::to_string(64 + n) + "\n";
    the_tree.attr(dir + "/dev", [dev](std::string& s) { s = dev; return 0; });
    the_tree.link(dir + "/device", devdir);
    the_tree.link("/class/tty/ttyS" + std::to_string(n), dir);
}

// ---- control files ------------------------------------------------------------------------

// Paths in commands may be given as seen by the library (/sys/...) or mount-relative.
std::string mount_path(std::string p)
{
    if (p.rfind("/sys/", 0) == 0) p = p.substr(4);
    return p;
}

// One command written to /sys/hxsim/ctl:
//   wheel ADDR RATE          the encoder on eQEP unit ADDR (e.g. 48302180) turns at RATE
//                            counts per second (negative: backwards)
//   count ADDR VALUE         set the unit's raw count
//   remove PATH              a node vanishes for good
//   unplug PATH / replug PATH  a device goes away (open files then answer ENODEV) and
//                            comes back
//   fail PATH open|read|write ERRNO   that operation answers ERRNO (0 heals it)
//   udev MS                  an exported PWM output's attributes answer EACCES for MS ms
//   firmware NAME encoder|other|bad|absent   the image installed under NAME
//   pru CORE handshake at-start|never|manual|after MS   how the encoder firmware clears
//   pru CORE clear | step N | crash   clear now; count N per ms; the core crashes
int command(const std::string& line)
{
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "wheel" || verb == "count") {
        std::string addr;
        double v = 0;
        if (!(in >> addr >> v)) return -EINVAL;
        eqep_unit* u = eqep(addr);
        if (u == nullptr) return -ENODEV;
        u->fold();
        if (verb == "wheel") u->rate = v;
        else u->base = static_cast<uint64_t>(static_cast<long long>(v)) & UINT32_MAX;
        return 0;
    }
    if (verb == "remove" || verb == "unplug" || verb == "replug") {
        std::string p;
        if (!(in >> p)) return -EINVAL;
        const std::string path = the_tree.resolve(mount_path(p), false);
        const bool done = verb == "remove" ? the_tree.remove(path)
                          : verb == "unplug" ? the_tree.unplug(path) : the_tree.replug(path);
        return done ? 0 : -ENOENT;
    }
    if (verb == "fail") {  // fail PATH open|read|write ERRNO (0 heals)
        std::string p, op;
        int err = 0;
        if (!(in >> p >> op >> err)) return -EINVAL;
        node* n = the_tree.find(the_tree.resolve(mount_path(p), true));
        if (n == nullptr) return -ENOENT;
        if (op == "open") n->fail_open = err;
        else if (op == "read") n->fail_read = err;
        else if (op == "write") n->fail_write = err;
        else return -EINVAL;
        return 0;
    }
    if (verb == "udev") {
        long long ms = 0;
        if (!(in >> ms) || ms < 0) return -EINVAL;
        udev_us = ms * 1000;
        return 0;
    }
    if (verb == "firmware") {  // firmware NAME encoder|other|bad|absent
        std::string name, kind;
        if (!(in >> name >> kind)) return -EINVAL;
        const image k = kind == "encoder" ? image::encoder : kind == "other" ? image::other
                        : kind == "bad" ? image::bad : image::absent;
        firmware_files[name] = k;
        return 0;
    }
    if (verb == "pru") {  // pru CORE handshake at-start|never|manual|after MS; clear; step N; crash
        int core = -1;
        std::string what;
        if (!(in >> core >> what) || (core != 0 && core != 1)) return -EINVAL;
        rproc* r = nullptr;
        for (auto& p : rprocs)
            if (p.dev == (core == 0 ? pru0 : pru1)) r = &p;
        if (r == nullptr) return -ENODEV;
        if (what == "handshake") {
            if (!(in >> r->handshake)) return -EINVAL;
            if (r->handshake == "after" && !(in >> r->after_ms)) return -EINVAL;
        } else if (what == "clear") {
            if (r->state == "running" && r->encoder) clear_word(*r);
        } else if (what == "step") {
            if (!(in >> r->step)) return -EINVAL;
            r->stepped = now_us();
        } else if (what == "crash") {
            if (r->state != "running") return -EINVAL;
            r->state = "crashed";
            r->encoder = false;
        } else {
            return -EINVAL;
        }
        return 0;
    }
    return -EINVAL;
}

void add_control()
{
    const std::string name = std::string(profile->name) + "\n";
    the_tree.attr("/hxsim/profile", [name](std::string& s) { s = name; return 0; });
    the_tree.attr("/hxsim/ctl", {}, [](const std::string& s) { return command(s); });
    the_tree.attr("/hxsim/pwm", [](std::string& s) { s = pwm_log; return 0; });
    the_tree.attr("/hxsim/pru", [](std::string& s) {
        s.clear();
        for (const auto& r : rprocs) {
            if (r.dev != pru0 && r.dev != pru1) continue;
            s += std::string(r.dev == pru0 ? "core 0" : "core 1") + " state " + r.state + " firmware " +
                 r.firmware + " starts " + std::to_string(r.starts) + " stops " + std::to_string(r.stops) +
                 " word-at-stop " + std::to_string(r.word_at_stop) + "\n";
        }
        return 0;
    });
}

}  // namespace

std::mutex& model_lock()
{
    static std::mutex m;
    return m;
}

tree& sysfs() { return the_tree; }

bool build(const std::string& name)
{
    for (const auto& p : profiles())
        if (name == p.name) profile = &p;
    if (profile == nullptr) return false;
    the_tree.dir("/");
    if (profile->legacy_eqep) {
        for (const char* a : {"48300180", "48302180", "48304180"}) eqeps.emplace_back().addr = a;
        for (size_t i = 0; i < eqeps.size(); ++i) add_legacy_eqep(i);
    } else {
        for (const char* a : profile->counters) eqeps.emplace_back().addr = a;
        for (size_t i = 0; i < eqeps.size(); ++i) add_counter(i, static_cast<int>(i));
    }
    for (const char* d : profile->rprocs) {
        rprocs.emplace_back();
        rprocs.back().dev = d;
    }
    for (size_t i = 0; i < rprocs.size(); ++i) add_rproc(i, static_cast<int>(i));
    int global = 0;
    for (size_t i = 0; i < profile->pwm.size(); ++i) {
        chips.emplace_back();
        chips[i].def = profile->pwm[i];
        chips[i].number = profile->pwm_global_numbers ? global : static_cast<int>(i);
        global += profile->pwm[i].npwm;
        add_pwm_chip(i);
    }
    for (size_t i = 0; i < profile->gpio.size(); ++i) add_gpio(profile->gpio[i], static_cast<int>(i));
    for (int n : profile->uarts) add_uart(n);
    the_tree.dir("/class/pwm");
    the_tree.dir("/class/remoteproc");
    the_tree.dir("/kernel");
    add_control();
    return true;
}

void set_writer(const std::string& comm) { writer = comm; }

void tick()
{
    const long long now = now_us();
    for (rproc& r : rprocs) {
        if (r.state != "running" || !r.encoder) continue;
        if (!r.cleared) {
            if (r.handshake == "after" && now - r.started >= r.after_ms * 1000) clear_word(r);
            continue;
        }
        const long long ms = (now - r.stepped) / 1000;
        if (r.step != 0 && ms > 0) {
            if (volatile uint32_t* w = shared_ram())
                w[count_word] = w[count_word] + static_cast<uint32_t>(r.step * ms);
            r.stepped += ms * 1000;
        }
    }
}

}  // namespace simk
