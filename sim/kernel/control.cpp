// The control files through which tests and tools steer the simulated board:
// /sys/hxsim/profile (the kernel profile), /sys/hxsim/ctl (commands, below),
// /sys/hxsim/pru (the PRU cores' state) and /sys/hxsim/r30 (every change of their
// outputs).
#include "model.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace simk {

namespace {

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
//   slow PATH MS             the next write to PATH is answered after MS ms
//   pru 0 wheel RATE         channel 4's encoder (on PRU core 0's inputs) turns at RATE
//                            edges a second of the core's time (negative: backwards)
//   pru 0 walk SPACING STEPS  it takes STEPS ("+", "-", "2" two states forwards at
//                            once, "=" two backwards) SPACING core cycles apart, after
//                            any walk queued
//   pru CORE hold | release  the core's clock stops (it starts late) | goes on
//   pru CORE crash           remoteproc finds the core crashed
//   pad OFFSET VALUE         the pad register at OFFSET (0x800..0xa34) reads VALUE, as a
//                            tree muxing it so would leave it
//   debugfs unmount          debugfs is not mounted: /sys/kernel/debug is empty
int command(const std::string& line)
{
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "wheel" || verb == "count") {
        std::string addr;
        double v = 0;
        if (!(in >> addr >> v)) return -EINVAL;
        const bool known = verb == "wheel" ? turn_wheel(addr, v) : set_count(addr, static_cast<long long>(v));
        return known ? 0 : -ENODEV;
    }
    if (verb == "remove" || verb == "unplug" || verb == "replug") {
        std::string p;
        if (!(in >> p)) return -EINVAL;
        const std::string path = the_tree.resolve(mount_path(p), false);
        const bool done = verb == "remove" ? the_tree.remove(path)
                          : verb == "unplug" ? the_tree.unplug(path) : the_tree.replug(path);
        return done ? 0 : -ENOENT;
    }
    if (verb == "fail") {
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
    if (verb == "slow") {
        std::string p;
        int ms = 0;
        if (!(in >> p >> ms) || ms < 0) return -EINVAL;
        node* n = the_tree.find(the_tree.resolve(mount_path(p), true));
        if (n == nullptr) return -ENOENT;
        n->write_delay_ms = ms;
        return 0;
    }
    if (verb == "pad") {
        std::string offset, value;
        if (!(in >> offset >> value)) return -EINVAL;
        char* end_o = nullptr;
        char* end_v = nullptr;
        const unsigned long o = std::strtoul(offset.c_str(), &end_o, 0), v = std::strtoul(value.c_str(), &end_v, 0);
        if (*end_o != '\0' || *end_v != '\0') return -EINVAL;
        return set_pad(static_cast<int>(o), static_cast<uint32_t>(v)) ? 0 : -EINVAL;
    }
    if (verb == "debugfs") {
        std::string what;
        if (!(in >> what) || what != "unmount") return -EINVAL;
        unmount_debugfs();
        return 0;
    }
    if (verb == "pru") {
        int core = -1;
        std::string what;
        if (!(in >> core >> what) || (core != 0 && core != 1)) return -EINVAL;
        return pru_command(core, what, in);
    }
    return -EINVAL;
}

}  // namespace

void add_control()
{
    const std::string name = std::string(profile->name) + "\n";
    the_tree.attr("/hxsim/profile", [name](std::string& s) { s = name; return 0; });
    the_tree.attr("/hxsim/ctl", {}, [](const std::string& s) { return command(s); });
    the_tree.attr("/hxsim/r30", [](std::string& s) { s = r30_record(); return 0; });
    the_tree.attr("/hxsim/pru", [](std::string& s) { s = pru_report(); return 0; });
}

}  // namespace simk
