// prurun: PRU core 0 for the board VM, where qemu has no PRU. It watches PRU0's CONTROL
// register (0x4a322000) in the PRU-ICSS's RAM-backed registers; while the kernel's
// pru_rproc has the enable bit set it runs the program that pru_rproc loaded into IRAM
// (0x4a334000) from the boot address on the PRU core model, with the data RAMs and the
// shared RAM at their addresses (the memory hx_fwquad maps through /dev/mem) and R31
// driven by channel 4's wheel. Wheel commands ("walk SPACING STEPS", "wheel RATE") come
// on the FIFO; after each slice it writes "cycle C position P pending K" to STATUS.
//
//   prurun FIFO STATUS
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
constexpr uint32_t control = 0x22000, iram = 0x34000;

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

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: prurun FIFO STATUS\n");
        return 2;
    }
    const int mem = open("/dev/mem", O_RDWR | O_SYNC);
    void* m = mem < 0 ? MAP_FAILED : mmap(nullptr, 0x40000, PROT_READ | PROT_WRITE, MAP_SHARED, mem, icss);
    if (m == MAP_FAILED) {
        std::printf("RESULT prurun FAIL can't map the PRU-ICSS: %s\n", std::strerror(errno));
        return 1;
    }
    auto* base = static_cast<uint8_t*>(m);
    volatile uint32_t* ctrl = reinterpret_cast<volatile uint32_t*>(base + control);
    const int fifo = open(argv[1], O_RDWR | O_NONBLOCK);
    const int status = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    static pru::core core;
    pru::wheel wheel;
    core.dram = base;
    core.dram_other = base + 0x2000;
    core.shared = base + 0x10000;
    std::string pending;
    for (;;) {
        if ((*ctrl & 2) == 0) {
            usleep(1000);
            continue;
        }
        // Enabled: run what pru_rproc loaded, from the boot address in CONTROL's top half.
        std::memcpy(core.iram, base + iram, sizeof core.iram);
        core.reset(*ctrl >> 16);
        const long long anchor = now_ns();
        const uint64_t from = core.cycle;
        while ((*ctrl & 2) != 0) {
            char buf[4096];
            const ssize_t n = read(fifo, buf, sizeof buf);
            if (n > 0) pending.append(buf, static_cast<size_t>(n));
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1))
                command(wheel, pending.substr(0, nl), core.cycle);
            const uint64_t real = from + static_cast<uint64_t>(now_ns() - anchor) / 5;
            if (core.state == pru::run_state::running && core.cycle < real) {
                const uint64_t slice = core.cycle + pru::hz / 1000;
                pru::run(core, wheel, real < slice ? real : slice);
            } else {
                usleep(200);
            }
            char s[128];
            const int len = std::snprintf(s, sizeof s, "cycle %llu position %lld pending %zu\n",
                                          static_cast<unsigned long long>(core.cycle),
                                          static_cast<long long>(wheel.position), wheel.walk.size());
            (void)!pwrite(status, s, static_cast<size_t>(len), 0);
            (void)!ftruncate(status, len);
        }
    }
}
