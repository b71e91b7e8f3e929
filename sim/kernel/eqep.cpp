// eQEP units as each kernel generation offers them: the vendor 4.x driver's attributes
// (enabled, position, period, mode; counting from probe, 32-bit wrap), or a counter
// device (count0/{count,ceiling,enable,direction}; off, ceiling 0 after probe).
#include "kstrto.h"
#include "model.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace simk {

namespace {

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

}  // namespace

void add_eqep_units()
{
    if (profile->legacy_eqep) {
        for (const char* a : {"48300180", "48302180", "48304180"}) eqeps.emplace_back().addr = a;
        for (size_t i = 0; i < eqeps.size(); ++i) add_legacy_eqep(i);
    } else {
        for (const char* a : profile->counters) eqeps.emplace_back().addr = a;
        for (size_t i = 0; i < eqeps.size(); ++i) add_counter(i, static_cast<int>(i));
    }
}

bool turn_wheel(const std::string& addr, double rate)
{
    eqep_unit* u = eqep(addr);
    if (u == nullptr) return false;
    u->fold();
    u->rate = rate;
    return true;
}

bool set_count(const std::string& addr, long long value)
{
    eqep_unit* u = eqep(addr);
    if (u == nullptr) return false;
    u->fold();
    u->base = static_cast<uint64_t>(value) & UINT32_MAX;
    return true;
}

}  // namespace simk
