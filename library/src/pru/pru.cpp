// PRU service: remoteproc control in sysfs, and the PRU memories through their UIO
// device (a group may have it) or, where there is none, /dev/mem (root only).
#include "hx/pru.h"
#include "hx/board.h"

#include "../sys/sysfs.h"
#include "memory.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
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
// The device tree additions' node of the PRU memories, as uio_pdrv_genirq names its
// device (the node's linux,uio-name; kernels that do not read it name it by the node:
// "pru-memories", or "pru-memories@4a302000"): one map a memory, each with its physical
// address.
constexpr const char* uio_class = "/sys/class/uio";
constexpr const char* uio_name = "pru-memories";
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
        char whose[64] = "";
        if (err == EACCES || err == EPERM) hx::sysfs::owner(path, whose, sizeof whose);
        std::fprintf(stderr, "ERROR in %s, can't write %s: %s%s%s%s\n", who, path, std::strerror(err),
                     whose[0] != '\0' ? " (" : "", whose, whose[0] != '\0' ? ")" : "");
        errno = err;
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
        // What a start and a stop write: the image's name and the state.
        char path[path_max + 16], whose[64];
        for (const char* attr : {"state", "firmware"}) {
            if (!hx::sysfs::writable(attr_path(dir, attr, path), whose, sizeof whose)) {
                std::snprintf(where, cap, "%s (%s): its %s is not this user's to write (%s)", std::strrchr(dir, '/') + 1,
                              core_device[core][named], attr, whose);
                return HX_BOARD_NOT_PERMITTED;
            }
        }
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

namespace {

// A sysfs attribute's text without its newline; false, saying nothing, when unreadable.
bool read_quiet(const char* path, char* buf, std::size_t cap)
{
    const int f = open(path, O_RDONLY | O_CLOEXEC);
    if (f < 0) return false;
    const ssize_t n = read(f, buf, cap - 1);
    close(f);
    if (n <= 0) return false;
    buf[n] = '\0';
    if (buf[n - 1] == '\n') buf[n - 1] = '\0';
    return true;
}

// Where a UIO device maps the region: its node into dev, the map's index and length.
struct uio_map {
    char dev[32];
    int index;
    std::size_t bytes;
};

// The PRU memories' UIO device and the map of the memory at phys in it; false when the
// kernel has none (no node, or no driver bound to it).
bool find_uio(off_t phys, uio_map* out)
{
    DIR* d = opendir(uio_class);
    if (d == nullptr) return false;
    bool found = false;
    char path[path_max + 300], text[64];
    for (dirent* e; !found && (e = readdir(d)) != nullptr;) {
        if (std::strncmp(e->d_name, "uio", 3) != 0) continue;
        std::snprintf(path, sizeof path, "%s/%.255s/name", uio_class, e->d_name);
        const std::size_t n = std::strlen(uio_name);
        if (!read_quiet(path, text, sizeof text) || std::strncmp(text, uio_name, n) != 0 ||
            (text[n] != '\0' && text[n] != '@'))
            continue;
        for (int m = 0; m < 5 && !found; ++m) {
            std::snprintf(path, sizeof path, "%s/%.255s/maps/map%d/addr", uio_class, e->d_name, m);
            if (!read_quiet(path, text, sizeof text) || std::strtoull(text, nullptr, 0) != static_cast<unsigned long long>(phys))
                continue;
            std::snprintf(path, sizeof path, "%s/%.255s/maps/map%d/size", uio_class, e->d_name, m);
            if (!read_quiet(path, text, sizeof text)) continue;
            std::snprintf(out->dev, sizeof out->dev, "/dev/%.20s", e->d_name);
            out->index = m;
            out->bytes = static_cast<std::size_t>(std::strtoull(text, nullptr, 0));
            found = true;
        }
    }
    closedir(d);
    return found;
}

// The region through the UIO device: map N is at N pages into /dev/uioN. MAP_FAILED
// (after a line naming who) when it cannot be opened or mapped.
void* map_uio(const uio_map& u, std::size_t bytes, const char* who)
{
    if (u.bytes < bytes) {
        std::fprintf(stderr, "ERROR in %s, %s maps %zu bytes of a PRU memory of %zu\n", who, u.dev, u.bytes, bytes);
        return MAP_FAILED;
    }
    const int f = open(u.dev, O_RDWR | O_CLOEXEC);
    if (f < 0) {
        const int e = errno;
        char whose[64];
        hx::sysfs::owner(u.dev, whose, sizeof whose);
        std::fprintf(stderr, "ERROR in %s, can't open %s (the PRU memories): %s%s%s%s\n", who, u.dev, std::strerror(e),
                     whose[0] != '\0' ? " (" : "", whose, whose[0] != '\0' ? "): add this user to that group" : "");
        return MAP_FAILED;
    }
    void* m = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, f,
                   static_cast<off_t>(u.index) * sysconf(_SC_PAGESIZE));
    const int saved = errno;
    close(f);  // the mapping outlives the descriptor
    if (m == MAP_FAILED) std::fprintf(stderr, "ERROR in %s, can't map %s: %s\n", who, u.dev, std::strerror(saved));
    return m;
}

// The region through /dev/mem, root's (CAP_SYS_RAWIO) alone.
void* map_mem(off_t phys, std::size_t bytes, const char* who)
{
    const int f = open(mem_path, O_RDWR | O_SYNC | O_CLOEXEC);
    if (f < 0) {
        const int e = errno;
        std::fprintf(stderr, "ERROR in %s, can't open %s: %s%s\n", who, mem_path, std::strerror(e),
                     e == EACCES || e == EPERM
                         ? " (it is root's: for a group, the PRU memories come from their UIO device, which "
                           "halvex-device-tree adds)"
                         : "");
        return MAP_FAILED;
    }
    void* m = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, f, phys);
    const int saved = errno;
    close(f);
    if (m == MAP_FAILED) std::fprintf(stderr, "ERROR in %s, can't map %s: %s\n", who, mem_path, std::strerror(saved));
    return m;
}

}  // namespace

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
    // Their UIO device first (its group may use it), /dev/mem where there is none.
    uio_map u{};
    void* m = find_uio(def.phys, &u) ? map_uio(u, def.bytes, who) : map_mem(def.phys, def.bytes, who);
    if (m == MAP_FAILED) return nullptr;
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

extern "C" int hx_board_pru_memory(char* where, size_t cap)
{
    if (where == nullptr || cap == 0) return -1;
    uio_map shared{}, data{};
    const bool have_shared = find_uio(regions[0].phys, &shared), have_data = find_uio(regions[1].phys, &data);
    if (have_shared && have_data) {
        char whose[64];
        if (access(shared.dev, R_OK | W_OK) != 0) {
            hx::sysfs::owner(shared.dev, whose, sizeof whose);
            std::snprintf(where, cap, "%s (%s): not permitted to this user (%s)", shared.dev, uio_name,
                          whose[0] != '\0' ? whose : "no device node");
            return whose[0] != '\0' ? HX_BOARD_NOT_PERMITTED : HX_BOARD_MISSING;
        }
        std::snprintf(where, cap, "%s (%s: shared RAM 4a310000 and PRU1 data RAM 4a302000)", shared.dev, uio_name);
        return HX_BOARD_FOUND;
    }
    // Without their UIO device, /dev/mem: root's alone.
    if (access(mem_path, R_OK | W_OK) == 0) {
        std::snprintf(where, cap, "%s (no UIO device of the PRU memories: root only)", mem_path);
        return HX_BOARD_FOUND;
    }
    std::snprintf(where, cap, "no UIO device of the PRU memories (%s), and %s is root's", uio_name, mem_path);
    return HX_BOARD_MISSING;
}
