// remoteproc as each kernel generation offers it (state machine with its errnos,
// firmware only while offline, name since 5.4, the device link), and behind the two PRU
// cores the PRU core model: a start loads the image from the firmware directory as that
// generation's loader does and runs it, on the core's own clock kept to real time, with
// channel 4's wheel on core 0's inputs and the shared RAM being /dev/mem's.
#include "kstrto.h"
#include "model.h"
#include "pru_core.h"
#include "pru_elf.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <istream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace simk {

std::string firmware_path = "/lib/firmware";

namespace {

constexpr const char* pru0 = "4a334000.pru";
constexpr const char* pru1 = "4a338000.pru";

// The PRU-ICSS's memories as the host sees them from 0x4A300000: the two data RAMs at
// 0 and 0x2000, the shared RAM at 0x10000.
constexpr off_t icss_phys = 0x4A300000;
constexpr size_t icss_bytes = pru::shared_base + pru::shared_bytes;
constexpr int count_word = 16;
uint8_t* icss = nullptr;

// /dev/mem's where it exists (the memory the library maps), the model's own otherwise:
// the PRU has its RAM whether or not the host can map it.
uint8_t* icss_memory()
{
    if (icss != nullptr) return icss;
    const int f = open("/dev/mem", O_RDWR | O_CLOEXEC);
    void* m = f < 0 ? MAP_FAILED : mmap(nullptr, icss_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, f, icss_phys);
    if (f >= 0) close(f);
    if (m == MAP_FAILED) {
        static uint8_t own[icss_bytes];
        icss = own;
    } else {
        icss = static_cast<uint8_t*>(m);
    }
    return icss;
}
volatile uint32_t* shared_ram() { return reinterpret_cast<volatile uint32_t*>(icss_memory() + pru::shared_base); }
uint8_t* data_ram(int n) { return icss_memory() + static_cast<size_t>(n) * pru::dram_bytes; }

long long now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// A PRU core and the thread that runs it. The core, its wheel and the counters below are
// guarded by m. The thread holds it while it brings the core's clock up to real time, a
// millisecond of the core's time a slice at most, and lets anyone waiting for it in
// between slices; then it sleeps for a tick.
struct pru_core {
    std::mutex m;
    std::atomic<int> waiting{0};
    std::condition_variable wake;
    pru::core core;
    pru::wheel wheel;
    std::thread thread;
    bool quit = false;
    bool held = false;         // a core whose clock does not start (a fault to inject)
    uint64_t r30_dropped = 0;  // R30's changes dropped from the front of its record
    static constexpr size_t r30_kept = 1 << 20;
    long long anchor_ns = 0;   // real time and core time at the last start or release
    uint64_t anchor_cycle = 0;

    std::unique_lock<std::mutex> lock()
    {
        ++waiting;
        std::unique_lock<std::mutex> l(m);
        --waiting;
        return l;
    }
    void loop();
};

// How often a core that has caught up with real time looks again: what the firmware
// does shows within this (plus the slices) of real time.
constexpr auto tick = std::chrono::microseconds(200);

void pru_core::loop()
{
    std::unique_lock<std::mutex> l(m);
    while (!quit) {
        if (held || core.state != pru::run_state::running) {
            wake.wait(l);
            continue;
        }
        // The core's clock keeps to real time: it never runs ahead of it.
        const uint64_t real = anchor_cycle + static_cast<uint64_t>(now_ns() - anchor_ns) / 5;
        if (core.cycle < real) {
            const uint64_t slice = core.cycle + pru::hz / 1000;
            pru::run(core, wheel, real < slice ? real : slice);
            if (core.r30_log.size() > r30_kept) {
                // A long run keeps its latest changes.
                const auto half = core.r30_log.begin() + static_cast<std::ptrdiff_t>(r30_kept / 2);
                r30_dropped += static_cast<uint64_t>(half - core.r30_log.begin());
                core.r30_log.erase(core.r30_log.begin(), half);
            }
            if (waiting > 0) {
                l.unlock();
                while (waiting > 0) std::this_thread::yield();
                l.lock();
            }
            if (core.cycle < real) continue;  // still behind: on at once
        }
        wake.wait_for(l, tick);
    }
}

std::unique_ptr<pru_core> cores[2];

pru_core& pru_of(int n)
{
    if (!cores[n]) {
        cores[n] = std::make_unique<pru_core>();
        cores[n]->core.index = n;
        cores[n]->core.dram = data_ram(n);
        cores[n]->core.dram_other = data_ram(1 - n);
        cores[n]->core.shared = reinterpret_cast<volatile uint8_t*>(shared_ram());
        cores[n]->core.state = pru::run_state::halted;
        cores[n]->core.own_ctrl = 0;
        cores[n]->core.log_r30 = true;
        cores[n]->wheel.pin_a = HX_ENCODER_PIN_A;
        cores[n]->wheel.pin_b = HX_ENCODER_PIN_B;
    }
    return *cores[n];
}

void stop_core(pru_core& p)
{
    {
        auto g = p.lock();
        p.quit = true;
    }
    p.wake.notify_all();
    if (p.thread.joinable()) p.thread.join();
    p.quit = false;
    p.core.state = pru::run_state::halted;
    p.core.own_ctrl &= ~pru::ctrl_enable;
}

struct rproc {
    std::string dev;
    int pru = -1;  // 0 or 1 for the PRU cores
    std::string state = "offline";
    std::string firmware;
    std::string loader_message;  // what the kernel logged at the last start
    int users = 0;               // starts not yet matched by a stop
    int starts = 0, stops = 0;
    uint32_t word_at_stop = 0;  // the count word when the core was last stopped
};
std::vector<rproc> rprocs;

int read_image(const std::string& name, std::vector<uint8_t>& out)
{
    std::ifstream f(firmware_path + "/" + name, std::ios::binary);
    if (!f) return -ENOENT;
    out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return 0;
}

int rproc_start(rproc& r)
{
    if (r.state == "running") {
        if (!profile->rproc_counts_users) return -EBUSY;
        ++r.users;
        return 0;
    }
    if (r.pru < 0) {
        r.state = "running";
        return 0;
    }
    std::vector<uint8_t> image;
    if (const int rc = read_image(r.firmware, image)) return rc;
    pru_core& p = pru_of(r.pru);
    stop_core(p);
    auto g = p.lock();
    if (const int rc = pru::load(image, {.legacy = profile->pru_legacy_loader}, p.core, r.loader_message)) return rc;
    // As pru_rproc starts a core: enabled, from the entry, its cycle counter off.
    p.core.own_ctrl = pru::ctrl_enable | p.core.pc << 16;
    r.state = "running";
    r.users = 1;
    ++r.starts;
    p.anchor_ns = now_ns();
    p.anchor_cycle = p.core.cycle;
    p.thread = std::thread([&p] { p.loop(); });
    return 0;
}

// The state write returns once the core has run for as long as the write takes to come
// back on a board (a few microseconds): the encoder clears its word within that time.
void let_it_run(int n)
{
    pru_core& p = pru_of(n);
    constexpr uint64_t return_cycles = 1000;  // 5 us
    uint64_t from = 0;
    {
        auto g = p.lock();
        from = p.core.cycle;
    }
    for (;;) {
        {
            auto g = p.lock();
            if (p.held || p.core.state != pru::run_state::running || p.core.cycle >= from + return_cycles) return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
}

int rproc_stop(rproc& r)
{
    if (r.state != "running") return -EINVAL;
    if (--r.users > 0) return 0;  // another user still has it running
    if (r.pru >= 0) {
        stop_core(pru_of(r.pru));
        r.word_at_stop = shared_ram()[count_word];
    }
    r.state = "offline";
    ++r.stops;
    return 0;
}

void add_rproc(size_t i, int index)
{
    rproc& r = rprocs[i];
    r.pru = r.dev == pru0 ? 0 : r.dev == pru1 ? 1 : -1;
    r.firmware = r.pru == 0 ? "am335x-pru0-fw" : r.pru == 1 ? "am335x-pru1-fw" : "am335x-pm-firmware.elf";
    if (r.pru < 0) r.state = "running";
    const std::string parent = r.pru >= 0 ? std::string(profile->ocp) + "/4a300000.pruss/" + r.dev
                                          : std::string(profile->ocp) + "/" + r.dev;
    const std::string n = "remoteproc" + std::to_string(index);
    const std::string dir = parent + "/remoteproc/" + n;
    the_tree.attr(dir + "/state",
        [i](std::string& s) { s = rprocs[i].state + "\n"; return 0; },
        [i](const std::string& s) {
            rproc& p = rprocs[i];
            if (kstrto::streq(s, "start")) {
                const bool was_running = p.state == "running";
                const int rc = rproc_start(p);
                if (rc == 0 && p.pru >= 0 && !was_running) let_it_run(p.pru);
                return rc;
            }
            if (kstrto::streq(s, "stop")) return rproc_stop(p);
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

// A message as one word of the report: "-" when empty, blanks as underscores.
std::string words(std::string s)
{
    if (s.empty()) return "-";
    for (char& ch : s)
        if (ch == ' ') ch = '_';
    return s;
}

rproc* rproc_of(int core)
{
    for (auto& p : rprocs)
        if (p.pru == core) return &p;
    return nullptr;
}

}  // namespace

void add_remoteprocs()
{
    for (const char* d : profile->rprocs) {
        rprocs.emplace_back();
        rprocs.back().dev = d;
    }
    for (size_t i = 0; i < rprocs.size(); ++i) add_rproc(i, static_cast<int>(i));
    // Where this kernel looks for firmware first (firmware_class.path).
    const std::string path = firmware_path + "\n";
    the_tree.attr("/module/firmware_class/parameters/path", [path](std::string& s) { s = path; return 0; });
}

int pru_command(int core, const std::string& what, std::istream& in)
{
    rproc* r = rproc_of(core);
    if (r == nullptr) return -ENODEV;
    pru_core& p = pru_of(core);
    if (what == "crash") {
        if (r->state != "running") return -EINVAL;
        stop_core(p);
        r->state = "crashed";
        r->users = 0;
        return 0;
    }
    {
        auto g = p.lock();
        if (what == "wheel") {
            long long rate = 0;
            if (!(in >> rate)) return -EINVAL;
            p.wheel.set_rate(rate, p.core.cycle);
        } else if (what == "walk") {
            unsigned long long spacing = 0;
            std::string steps;
            if (!(in >> spacing >> steps) || spacing == 0) return -EINVAL;
            p.wheel.add_walk(steps, spacing, p.core.cycle);
        } else if (what == "hold") {
            p.held = true;
        } else if (what == "release") {
            if (p.held) {
                p.held = false;
                p.anchor_ns = now_ns();
                p.anchor_cycle = p.core.cycle;
            }
        } else {
            return -EINVAL;
        }
    }
    p.wake.notify_all();
    return 0;
}

std::string pru_report()
{
    std::string s;
    for (int n = 0; n < 2; ++n) {
        const rproc* r = rproc_of(n);
        if (r == nullptr) continue;
        pru_core& p = pru_of(n);
        auto g = p.lock();
        const pru::core& c = p.core;
        s += "core " + std::to_string(n) + " state " + r->state + " firmware " + r->firmware + " starts " +
             std::to_string(r->starts) + " stops " + std::to_string(r->stops) + " word-at-stop " +
             std::to_string(r->word_at_stop) + " cycle " + std::to_string(c.cycle) + " executed " +
             std::to_string(c.executed) + " skipped " + std::to_string(c.skipped) + " shared-stores " +
             std::to_string(c.shared_stores) + " position " + std::to_string(p.wheel.position) + " pending " +
             std::to_string(p.wheel.walk.size()) + " missed " +
             std::to_string(data_ram(n)[0] | data_ram(n)[1] << 8 | data_ram(n)[2] << 16 |
                            static_cast<uint32_t>(data_ram(n)[3]) << 24) +
             " r30 " + std::to_string(c.reg[30]) +
             " core " +
             (r->state != "running" ? "stopped"
              : c.state == pru::run_state::running ? "running"
              : c.state == pru::run_state::halted  ? "halted"
                                                    : "fault") +
             " loader " + words(r->loader_message) + " fault " + words(c.fault) + "\n";
    }
    return s;
}

std::string r30_record()
{
    std::string s;
    for (int n = 0; n < 2; ++n) {
        if (!cores[n]) continue;
        pru_core& p = *cores[n];
        auto g = p.lock();
        if (p.r30_dropped != 0) s += "core " + std::to_string(n) + " dropped " + std::to_string(p.r30_dropped) + "\n";
        char line[48];
        for (const pru::r30_change& c : p.core.r30_log) {
            std::snprintf(line, sizeof line, "%d %llu %x\n", n, static_cast<unsigned long long>(c.cycle), c.value);
            s += line;
        }
    }
    return s;
}

void stop_remoteprocs()
{
    for (auto& c : cores)
        if (c) stop_core(*c);
}

}  // namespace simk
