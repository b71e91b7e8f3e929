// prurun: the two PRU cores for the board VM, where qemu has none. Each start of a core
// by the kernel's pru_rproc loads the program into the core's IRAM (0x4a334000,
// 0x4a338000) and sets the enable bit of its CONTROL register (PRU0 0x4a322000, PRU1
// 0x4a324000), in the PRU-ICSS's RAM-backed registers. prurun takes each program
// written into IRAM (and clears IRAM, so that the next load shows, however soon it
// follows) and, while the enable bit is set, runs it from the boot address on the PRU
// core model, with the data RAMs and the shared RAM at their addresses (the memory the
// library maps through /dev/mem), CONTROL as the core's own CTRL, R31 of core 0 driven
// by channel 4's wheel.
// Wheel commands ("walk SPACING STEPS", "wheel RATE") come on the FIFO; after each slice
// it writes "cycle C position P pending K cycle1 C1 r30 V" (core 0's clock, the wheel,
// core 1's clock and R30 in hex) to STATUS; every change of core 1's R30 (the servo
// header) is appended to R30 as "CYCLE VALUE" (hex) lines.
//
//   prurun FIFO STATUS R30
#include <pru_core.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr off_t icss = 0x4a300000;
constexpr uint32_t control[2] = {0x22000, 0x24000}, iram[2] = {0x34000, 0x38000};

long long now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void command(pru::wheel& w, const std::string& line, uint64_t now)
{
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "walk") {
        unsigned long long spacing = 0;
        std::string steps;
        if (in >> spacing >> steps && spacing > 0) w.add_walk(steps, spacing, now);
    } else if (verb == "wheel") {
        long long rate = 0;
        if (in >> rate) w.set_rate(rate, now);
    }
}

// One core, and where it stands against the guest's clock.
struct runner {
    pru::core core;
    pru::wheel wheel;
    bool loaded = false;  // a program came that has not started yet
    long long anchor = 0;
    uint64_t from = 0;
};

// A program in IRAM: the loader has written it (every image's first words hold code).
bool written(const uint8_t* at)
{
    for (int w = 0; w < 16; ++w)
        if (reinterpret_cast<const volatile uint32_t*>(at)[w] != 0) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: prurun FIFO STATUS R30\n");
        return 2;
    }
    const int mem = open("/dev/mem", O_RDWR | O_SYNC);
    void* m = mem < 0 ? MAP_FAILED : mmap(nullptr, 0x40000, PROT_READ | PROT_WRITE, MAP_SHARED, mem, icss);
    if (m == MAP_FAILED) {
        std::printf("RESULT prurun FAIL can't map the PRU-ICSS: %s\n", std::strerror(errno));
        return 1;
    }
    auto* base = static_cast<uint8_t*>(m);
    const int fifo = open(argv[1], O_RDWR | O_NONBLOCK);
    const int status = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::FILE* r30 = std::fopen(argv[3], "w");
    static runner cores[2];
    for (int n = 0; n < 2; ++n) {
        pru::core& c = cores[n].core;
        c.index = n;
        c.dram = base + 0x2000 * n;
        c.dram_other = base + 0x2000 * (1 - n);
        c.shared = base + 0x10000;
        c.ctrl = reinterpret_cast<volatile uint32_t*>(base + control[n]);
        c.state = pru::run_state::halted;
    }
    cores[1].core.log_r30 = true;
    std::string pending;
    for (;;) {
        char buf[4096];
        const ssize_t got = read(fifo, buf, sizeof buf);
        if (got > 0) pending.append(buf, static_cast<size_t>(got));
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1))
            command(cores[0].wheel, pending.substr(0, nl), cores[0].core.cycle);
        bool busy = false;
        for (runner& r : cores) {
            pru::core& c = r.core;
            if (written(base + iram[c.index])) {
                std::memcpy(c.iram, base + iram[c.index], sizeof c.iram);
                std::memset(base + iram[c.index], 0, sizeof c.iram);
                c.state = pru::run_state::halted;
                r.loaded = true;
            }
            const bool enabled = (*c.ctrl & pru::ctrl_enable) != 0;
            if (enabled && r.loaded) {
                // Started: from the boot address in CONTROL's top half.
                c.reset(*c.ctrl >> 16);
                r.loaded = false;
                r.anchor = now_ns();
                r.from = c.cycle;
            }
            if (!enabled) c.state = pru::run_state::halted;
            if (c.state != pru::run_state::running) continue;
            const uint64_t real = r.from + static_cast<uint64_t>(now_ns() - r.anchor) / 5;
            if (c.cycle < real) {
                const uint64_t slice = c.cycle + pru::hz / 1000;
                pru::run(c, r.wheel, real < slice ? real : slice);
                busy = busy || c.cycle < real;
            }
        }
        pru::core& servo = cores[1].core;
        for (const pru::r30_change& ch : servo.r30_log)
            std::fprintf(r30, "%llu %x\n", static_cast<unsigned long long>(ch.cycle), ch.value);
        if (!servo.r30_log.empty()) std::fflush(r30);
        servo.r30_log.clear();
        char s[160];
        const int len = std::snprintf(s, sizeof s, "cycle %llu position %lld pending %zu cycle1 %llu r30 %x executed1 %llu\n",
                                      static_cast<unsigned long long>(cores[0].core.cycle),
                                      static_cast<long long>(cores[0].wheel.position), cores[0].wheel.walk.size(),
                                      static_cast<unsigned long long>(servo.cycle), servo.reg[30],
                                      static_cast<unsigned long long>(servo.executed));
        (void)!pwrite(status, s, static_cast<size_t>(len), 0);
        (void)!ftruncate(status, len);
        if (!busy) usleep(200);
    }
}
