// PRU service: remoteproc control in sysfs and the shared RAM through /dev/mem.
#include "hx/pru.h"

#include "../sys/sysfs.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// remoteproc0 is the board's Cortex-M3 power manager; the PRUs follow it.
constexpr std::array<const char*, 2> firmware_path = {
    "/sys/class/remoteproc/remoteproc1/firmware",
    "/sys/class/remoteproc/remoteproc2/firmware",
};
constexpr std::array<const char*, 2> state_path = {
    "/sys/class/remoteproc/remoteproc1/state",
    "/sys/class/remoteproc/remoteproc2/state",
};
constexpr const char* mem_path = "/dev/mem";
constexpr off_t shared_mem_phys = 0x4A310000;
constexpr std::size_t name_max = 255;  // remoteproc's firmware names are file names

std::atomic<volatile uint32_t*> shared_mem{nullptr};

bool valid_core(const char* who, int core)
{
    if (core == 0 || core == 1) return true;
    std::fprintf(stderr, "ERROR in %s, PRU core must be 0 or 1, not %d\n", who, core);
    return false;
}

// Stops the core if its state reads "running"; any other state needs nothing.
int stop_if_running(const char* who, int core)
{
    char state[32];
    if (hx::sysfs::read_text(who, state_path[core], state, sizeof state) < 0) return -1;
    if (std::strcmp(state, "running") != 0) return 0;
    return hx::sysfs::write_text(who, state_path[core], "stop");
}

}  // namespace

extern "C" {

int hx_pru_start(int core, const char* fw_name)
{
    constexpr const char* who = "hx_pru_start";
    if (!valid_core(who, core)) return -1;
    if (fw_name == nullptr || fw_name[0] == '\0' || std::strlen(fw_name) > name_max ||
        std::strchr(fw_name, '/') != nullptr) {
        std::fprintf(stderr, "ERROR in %s, firmware must be a file name in /lib/firmware\n", who);
        return -1;
    }
    if (stop_if_running(who, core) != 0) return -1;
    if (hx::sysfs::write_text(who, firmware_path[core], fw_name) != 0) return -1;
    return hx::sysfs::write_text(who, state_path[core], "start");
}

int hx_pru_stop(int core)
{
    constexpr const char* who = "hx_pru_stop";
    if (!valid_core(who, core)) return -1;
    return stop_if_running(who, core);
}

volatile uint32_t* hx_pru_shared_mem_ptr(void)
{
    volatile uint32_t* p = shared_mem.load(std::memory_order_acquire);
    if (p != nullptr) return p;

    const int f = open(mem_path, O_RDWR | O_SYNC | O_CLOEXEC);
    if (f < 0) {
        std::fprintf(stderr, "ERROR in hx_pru_shared_mem_ptr, can't open %s: %s\n", mem_path,
                     std::strerror(errno));
        return nullptr;
    }
    void* m = mmap(nullptr, HX_PRU_SHARED_MEM_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, f,
                   shared_mem_phys);
    const int saved = errno;
    close(f);  // the mapping outlives the descriptor
    if (m == MAP_FAILED) {
        std::fprintf(stderr, "ERROR in hx_pru_shared_mem_ptr, can't map %s: %s\n", mem_path,
                     std::strerror(saved));
        return nullptr;
    }
    // Two first callers may race: the loser drops its mapping and takes the winner's.
    volatile uint32_t* expected = nullptr;
    auto* mine = static_cast<volatile uint32_t*>(m);
    if (!shared_mem.compare_exchange_strong(expected, mine, std::memory_order_acq_rel)) {
        munmap(m, HX_PRU_SHARED_MEM_SIZE);
        return expected;
    }
    return mine;
}

}  // extern "C"
