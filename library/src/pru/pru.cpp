// PRU service: remoteproc control in sysfs, and the PRU memories through /dev/mem.
#include "hx/pru.h"
#include "hx/board.h"

#include "../sys/sysfs.h"
#include "memory.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

// remoteprocN is allocation order, not identity: a core is found by its platform
// device, in `name` (since 5.4) or as the last component of the `device` link; vendor
// 4.4 and 4.9 kernels name the devices 4a334000.pru0 and 4a338000.pru1. Boards without
// either keep the old order: the Cortex-M3 power manager, then the PRUs.
constexpr const char* rproc_class = "/sys/class/remoteproc";
constexpr const char* core_device[2][2] = {{"4a334000.pru", "4a334000.pru0"}, {"4a338000.pru", "4a338000.pru1"}};
constexpr std::array<const char*, 2> fallback = {"remoteproc1", "remoteproc2"};
constexpr std::size_t path_max = 80;
constexpr const char* mem_path = "/dev/mem";
constexpr std::size_t name_max = 255;  // remoteproc's firmware names are file names

// The memories, by hx::pru::region: where the host sees them, their size, the core
// whose presence says the subsystem is there.
struct region_def {
    off_t phys;
    std::size_t bytes;
    int core;
};
constexpr std::array<region_def, 2> regions = {{{0x4A310000, HX_PRU_SHARED_MEM_SIZE, 0}, {0x4A302000, 0x2000, 1}}};
std::array<std::atomic<volatile uint32_t*>, regions.size()> mapped{};

bool valid_core(const char* who, int core)
{
    if (core == 0 || core == 1) return true;
    std::fprintf(stderr, "ERROR in %s, PRU core must be 0 or 1, not %d\n", who, core);
    return false;
}

// The core's remoteproc directory into dir, looked up once per call of the service.
// False when the kernel offers no such core (not even at the old index).
bool core_dir(int core, char (&dir)[path_max])
{
    if (hx::sysfs::find_device(rproc_class, "remoteproc", core_device[core], 2, dir, sizeof dir) >= 0) return true;
    std::snprintf(dir, sizeof dir, "%s/%s", rproc_class, fallback[static_cast<std::size_t>(core)]);
    return access(dir, F_OK) == 0;
}

// The attribute attr ("state", "firmware") of the core at dir into path.
const char* attr_path(const char* dir, const char* attr, char (&path)[path_max + 16])
{
    std::snprintf(path, sizeof path, "%s/%s", dir, attr);
    return path;
}

// Stops the core at dir if its state reads "running"; any other state needs nothing.
int stop_if_running(const char* who, const char* dir)
{
    char path[path_max + 16];
    char state[32];
    attr_path(dir, "state", path);
    if (hx::sysfs::read_text(who, path, state, sizeof state) < 0) return -1;
    if (std::strcmp(state, "running") != 0) return 0;
    return hx::sysfs::write_text(who, path, "stop");
}

// Where the kernel's firmware loader looks, in its order (drivers/base/firmware_loader):
// the firmware_class.path parameter when set, then /lib/firmware/updates/<release>,
// /lib/firmware/updates, /lib/firmware/<release> and /lib/firmware.
struct firmware_dirs {
    char dir[5][path_max];
    int n = 0;
};
firmware_dirs where_firmware_is()
{
    firmware_dirs d;
    char custom[path_max] = "";
    const int f = open("/sys/module/firmware_class/parameters/path", O_RDONLY | O_CLOEXEC);
    if (f >= 0) {
        const ssize_t n = read(f, custom, sizeof custom - 1);
        close(f);
        custom[n > 0 ? n : 0] = '\0';
        custom[std::strcspn(custom, "\n")] = '\0';
    }
    utsname u{};
    uname(&u);
    if (custom[0] != '\0') std::snprintf(d.dir[d.n++], path_max, "%s", custom);
    std::snprintf(d.dir[d.n++], path_max, "/lib/firmware/updates/%.50s", u.release);
    std::snprintf(d.dir[d.n++], path_max, "/lib/firmware/updates");
    std::snprintf(d.dir[d.n++], path_max, "/lib/firmware/%.50s", u.release);
    std::snprintf(d.dir[d.n++], path_max, "/lib/firmware");
    return d;
}

// The directories for a person: "A, B, C or D".
const char* firmware_dirs_text()
{
    static char text[5 * path_max + 16];
    const firmware_dirs d = where_firmware_is();
    text[0] = '\0';
    for (int k = 0; k < d.n; ++k) {
        const std::size_t at = std::strlen(text);
        std::snprintf(text + at, sizeof text - at, "%s%s", k == 0 ? "" : k + 1 == d.n ? " or " : ", ", d.dir[k]);
    }
    return text;
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
    char dir[path_max];
    char path[path_max + 16];
    core_dir(core, dir);
    if (stop_if_running(who, dir) != 0) return -1;
    char before[name_max + 2] = "";
    attr_path(dir, "firmware", path);
    if (hx::sysfs::read_text(who, path, before, sizeof before) < 0) return -1;
    if (hx::sysfs::write_text(who, path, fw_name) != 0) return -1;
    bool at_open = false;
    const int err = hx::sysfs::write_quiet(attr_path(dir, "state", path), "start", &at_open);
    if (err == ENOENT && !at_open) {
        // request_firmware's ENOENT comes back from the state write: the image is
        // missing, not the attribute. The core keeps the image it had.
        std::fprintf(stderr, "ERROR in %s, the kernel found no firmware %s in %s\n", who, fw_name, firmware_dirs_text());
        if (before[0] != '\0') hx::sysfs::write_text(who, attr_path(dir, "firmware", path), before);
        return -1;
    }
    if (err != 0) {
        errno = err;
        std::fprintf(stderr, "ERROR in %s, can't write %s: %s\n", who, path, std::strerror(err));
        return -1;
    }
    return 0;
}

int hx_pru_stop(int core)
{
    constexpr const char* who = "hx_pru_stop";
    if (!valid_core(who, core)) return -1;
    char dir[path_max];
    core_dir(core, dir);
    return stop_if_running(who, dir);
}

volatile uint32_t* hx_pru_shared_mem_ptr(void)
{
    return hx::pru::memory(hx::pru::region::shared, "hx_pru_shared_mem_ptr");
}

int hx_board_firmware(const char* name, char* where, size_t cap)
{
    if (name == nullptr || name[0] == '\0' || std::strchr(name, '/') != nullptr || where == nullptr || cap == 0)
        return -1;
    const firmware_dirs d = where_firmware_is();
    for (int k = 0; k < d.n; ++k) {
        std::snprintf(where, cap, "%s/%s", d.dir[k], name);
        if (access(where, R_OK) == 0) return 1;
    }
    std::snprintf(where, cap, "no %s in %s", name, firmware_dirs_text());
    return 0;
}

int hx_board_pru(int core, char* where, size_t cap)
{
    if (core < 0 || core > 1 || where == nullptr || cap == 0) return -1;
    char dir[path_max];
    const int named = hx::sysfs::find_device(rproc_class, "remoteproc", core_device[core], 2, dir, sizeof dir);
    if (named >= 0) {
        std::snprintf(where, cap, "%s (%s)", std::strrchr(dir, '/') + 1, core_device[core][named]);
        return 1;
    }
    if (core_dir(core, dir)) {
        std::snprintf(where, cap, "%s (no name or device link: taken by the old numbering)", std::strrchr(dir, '/') + 1);
        return 1;
    }
    std::snprintf(where, cap, "no %s in %s", core_device[core][0], rproc_class);
    return 0;
}

}  // extern "C"

namespace hx::pru {

volatile uint32_t* memory(region r, const char* who)
{
    const region_def& def = regions[static_cast<std::size_t>(r)];
    std::atomic<volatile uint32_t*>& slot = mapped[static_cast<std::size_t>(r)];
    volatile uint32_t* p = slot.load(std::memory_order_acquire);
    if (p != nullptr) return p;

    // Without the PRU subsystem's device its module may be unclocked: a store through
    // /dev/mem would then end the program with SIGBUS (an external abort on the AM335x)
    // instead of a message.
    char dir[path_max];
    if (!core_dir(def.core, dir)) {
        std::fprintf(stderr,
                     "ERROR in %s, no PRU core %d (%s) in %s: is the PRU node enabled in the device tree?\n",
                     who, def.core, core_device[def.core][0], rproc_class);
        return nullptr;
    }
    const int f = open(mem_path, O_RDWR | O_SYNC | O_CLOEXEC);
    if (f < 0) {
        std::fprintf(stderr, "ERROR in %s, can't open %s: %s\n", who, mem_path, std::strerror(errno));
        return nullptr;
    }
    void* m = mmap(nullptr, def.bytes, PROT_READ | PROT_WRITE, MAP_SHARED, f, def.phys);
    const int saved = errno;
    close(f);  // the mapping outlives the descriptor
    if (m == MAP_FAILED) {
        std::fprintf(stderr, "ERROR in %s, can't map %s: %s\n", who, mem_path, std::strerror(saved));
        return nullptr;
    }
    // Two first callers may race: the loser drops its mapping and takes the winner's.
    volatile uint32_t* expected = nullptr;
    auto* mine = static_cast<volatile uint32_t*>(m);
    if (!slot.compare_exchange_strong(expected, mine, std::memory_order_acq_rel)) {
        munmap(m, def.bytes);
        return expected;
    }
    return mine;
}

}  // namespace hx::pru
