// remoteproc as each kernel generation offers it (state machine with its errnos,
// firmware only while offline, name since 5.4, the device link), and the PRU encoder
// firmware emulator behind it: a start of the encoder image clears the count word in
// the /dev/mem stand-in (at once, late, on demand or never), then counts.
#include "kstrto.h"
#include "model.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <istream>
#include <map>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace simk {

namespace {

constexpr const char* pru0 = "4a334000.pru";
constexpr const char* pru1 = "4a338000.pru";

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

}  // namespace

void add_remoteprocs()
{
    for (const char* d : profile->rprocs) {
        rprocs.emplace_back();
        rprocs.back().dev = d;
    }
    for (size_t i = 0; i < rprocs.size(); ++i) add_rproc(i, static_cast<int>(i));
}

int firmware_command(const std::string& name, const std::string& kind)
{
    const image k = kind == "encoder" ? image::encoder : kind == "other" ? image::other
                    : kind == "bad" ? image::bad : image::absent;
    firmware_files[name] = k;
    return 0;
}

int pru_command(int core, const std::string& what, std::istream& in)
{
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

std::string pru_report()
{
    std::string s;
    for (const auto& r : rprocs) {
        if (r.dev != pru0 && r.dev != pru1) continue;
        s += std::string(r.dev == pru0 ? "core 0" : "core 1") + " state " + r.state + " firmware " + r.firmware +
             " starts " + std::to_string(r.starts) + " stops " + std::to_string(r.stops) + " word-at-stop " +
             std::to_string(r.word_at_stop) + "\n";
    }
    return s;
}

void firmware_tick()
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
