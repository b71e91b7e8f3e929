// Encoder channels 1-3 through the eQEP units' sysfs attributes: the eQEP driver's own
// on vendor 4.x kernels, the counter subsystem's where those do not exist.
#include "hx/hwquad.h"

#include "hx/board.h"

#include "../sys/sysfs.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <charconv>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The kernel names each eQEP device directory after the unit's register address.
constexpr std::array<const char*, 3> enable_path = {
    "/sys/devices/platform/ocp/48300000.epwmss/48300180.eqep/enabled",
    "/sys/devices/platform/ocp/48302000.epwmss/48302180.eqep/enabled",
    "/sys/devices/platform/ocp/48304000.epwmss/48304180.eqep/enabled",
};
constexpr std::array<const char*, 3> position_path = {
    "/sys/devices/platform/ocp/48300000.epwmss/48300180.eqep/position",
    "/sys/devices/platform/ocp/48302000.epwmss/48302180.eqep/position",
    "/sys/devices/platform/ocp/48304000.epwmss/48304180.eqep/position",
};
// Newer kernels: the same units as counter devices, found by name (counterN follows
// probe order).
constexpr std::array<const char*, 3> counter_name = {
    "48300180.counter", "48302180.counter", "48304180.counter"};
constexpr const char* counter_dir = "/sys/bus/counter/devices";
constexpr const char* full_range = "4294967295";  // the ceiling is 0 after probe
constexpr int no_fd = -1;  // descriptor 0 is a real descriptor
constexpr std::size_t text_len = 12;  // "-2147483648" and its NUL

int init_flag = 0;
std::array<int, 3> fd = {no_fd, no_fd, no_fd};
// A counter device's count is unsigned; the module shows it in the signed view.
std::array<bool, 3> unsigned_count = {false, false, false};

void say(const char* text) { std::fputs(text, stderr); }

void close_all()
{
    for (int& f : fd) {
        if (f != no_fd) {
            close(f);
            f = no_fd;
        }
    }
}

// Open failures print the perror line and a hint; both texts are fixed.
int open_failed()
{
    std::perror("ERROR in hx_hwquad_init, failed to open device driver");
    say("Perhaps kernel or device tree is too old\n");
    return -1;
}

// The counter device of unit i into path ("/sys/bus/counter/devices/counterN").
bool find_counter(int i, char (&path)[64])
{
    return hx::sysfs::find_device(counter_dir, "counter", &counter_name[static_cast<std::size_t>(i)], 1, path,
                                  sizeof path) >= 0;
}

// Writes text and its NUL to the attribute dir/attr; 0, or -1 after the report of what.
int write_attr(const char* dir, const char* attr, const char* text, const char* what)
{
    char path[96];
    std::snprintf(path, sizeof path, "%s/%s", dir, attr);
    const int f = open(path, O_WRONLY);
    if (f < 0) return open_failed();
    if (write(f, text, std::strlen(text) + 1) == -1) {
        std::perror(what);
        close(f);
        return -1;
    }
    close(f);
    return 0;
}

// Opens channel i's position attribute at path, zeroes it ("0" and its NUL) and keeps it.
int keep_position(int i, const char* path)
{
    const int pos = open(path, O_RDWR);
    if (pos < 0) return open_failed();
    if (write(pos, "0", 2) == -1) {
        std::perror("ERROR in hx_hwquad_init, failed to zero out position");
        close(pos);
        return -1;
    }
    fd[i] = pos;
    return 0;
}

// Unit i through its counter device: full range, enabled, zeroed, count kept open.
int init_counter(int i, const char* dir)
{
    constexpr const char* enable_failed = "ERROR in hx_hwquad_init, failed to enable device driver";
    if (write_attr(dir, "count0/ceiling", full_range, enable_failed) != 0 ||
        write_attr(dir, "count0/enable", "1", enable_failed) != 0) {
        return -1;
    }
    char path[96];
    std::snprintf(path, sizeof path, "%s/count0/count", dir);
    unsigned_count[i] = true;
    return keep_position(i, path);
}

int init_channel(int i)
{
    unsigned_count[i] = false;
    const int en = open(enable_path[i], O_WRONLY);
    if (en < 0) {
        const int saved = errno;
        char dir[64];
        if (saved == ENOENT && find_counter(i, dir)) return init_counter(i, dir);
        errno = saved;
        return open_failed();
    }
    const ssize_t w = write(en, "1", 2);  // "1" and its NUL, as the driver expects
    if (w == -1) {
        std::perror("ERROR in hx_hwquad_init, failed to enable device driver");
        close(en);
        return -1;
    }
    close(en);
    return keep_position(i, position_path[i]);
}

// atoi's rules (leading white space, one sign, digits up to the first other byte) over
// exactly n bytes. The eQEP driver's signed text saturates at the int32 limits, where
// atoi would be undefined; a counter's unsigned text is taken modulo 2^32, its signed
// view.
int32_t parse_position(const char* s, std::size_t n, bool is_unsigned)
{
    std::size_t i = 0;
    while (i < n && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    uint64_t v = 0;  // at most 12 digits: no overflow
    for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i) v = v * 10 + static_cast<uint64_t>(s[i] - '0');
    if (is_unsigned) {
        const uint32_t u = static_cast<uint32_t>(v);
        return static_cast<int32_t>(negative ? 0u - u : u);
    }
    constexpr uint64_t limit = uint64_t{INT32_MAX} + 1;
    if (v > limit) v = limit;
    if (negative) return static_cast<int32_t>(-static_cast<int64_t>(v));
    return static_cast<int32_t>(v > INT32_MAX ? INT32_MAX : v);
}

// The checks shared by read and write; returns the descriptor or -1 after reporting.
int channel_fd(int ch, const char* not_init, const char* is_pru, const char* out_of_range)
{
    if (init_flag == 0) {
        say(not_init);
        return -1;
    }
    if (ch == 4) {
        say(is_pru);
        return -1;
    }
    if (ch < 1 || ch > 3) {
        say(out_of_range);
        return -1;
    }
    return fd[ch - 1];
}

}  // namespace

extern "C" {

int hx_hwquad_init(void)
{
    if (init_flag != 0) return 0;
    // Entries left open by an earlier failed init are closed, not leaked.
    close_all();
    for (int i = 0; i < 3; ++i) {
        if (init_channel(i) != 0) return -1;
    }
    init_flag = 1;
    return 0;
}

int hx_hwquad_read(int ch)
{
    const int f = channel_fd(ch,
        "ERROR in hx_hwquad_read, please initialize with hx_hwquad_init() first\n",
        "ERROR in hx_hwquad_read, channel 4 is read by the PRU, use hx_fwquad_read instead\n",
        "ERROR: in hx_hwquad_read, encoder channel must be between 1 & 3 inclusive\n");
    if (f < 0) return -1;
    // The seek to the start and the read in one system call: a descriptor that cannot
    // seek answers ESPIPE, reported as the failed seek.
    char buf[text_len];
    const ssize_t n = pread(f, buf, sizeof buf, 0);
    if (n == -1) {
        std::perror(errno == ESPIPE ? "ERROR: in hx_hwquad_read, failed to seek to beginning of fd"
                                    : "ERROR in hx_hwquad_read, can't read position fd");
        return -1;
    }
    return parse_position(buf, static_cast<std::size_t>(n), unsigned_count[ch - 1]);
}

int hx_hwquad_write(int ch, int pos)
{
    const int f = channel_fd(ch,
        "ERROR in hx_hwquad_write, please initialize with hx_hwquad_init() first\n",
        "ERROR in hx_hwquad_write, channel 4 is read by the PRU, use hx_fwquad_write instead\n",
        "ERROR: in hx_hwquad_write, encoder channel must be between 1 & 3 inclusive\n");
    if (f < 0) return -1;
    // The whole buffer is written; its filler is zeros, never stack contents. A counter
    // takes the signed position as its unsigned count.
    char buf[text_len] = {};
    if (unsigned_count[ch - 1]) std::to_chars(buf, buf + text_len - 1, static_cast<uint32_t>(pos));
    else std::to_chars(buf, buf + text_len - 1, pos);
    if (pwrite(f, buf, sizeof buf, 0) == -1) {
        std::perror(errno == ESPIPE ? "ERROR: in hx_hwquad_write, failed to seek to beginning of fd"
                                    : "ERROR in hx_hwquad_write, can't write position fd");
        return -1;
    }
    return 0;
}

int hx_hwquad_cleanup(void)
{
    close_all();
    init_flag = 0;
    return 0;
}

int hx_board_eqep(int unit, char* where, size_t cap)
{
    if (unit < 1 || unit > 3 || where == nullptr || cap == 0) return -1;
    const std::size_t i = static_cast<std::size_t>(unit - 1);
    char whose[64];
    if (access(enable_path[i], F_OK) == 0) {
        const int dir = static_cast<int>(std::strrchr(enable_path[i], '/') - enable_path[i]);
        if (!hx::sysfs::writable(enable_path[i], whose, sizeof whose) ||
            !hx::sysfs::writable(position_path[i], whose, sizeof whose)) {
            std::snprintf(where, cap, "legacy attributes (%.*s): enabled and position not this user's to write (%s)", dir,
                          enable_path[i], whose);
            return HX_BOARD_NOT_PERMITTED;
        }
        std::snprintf(where, cap, "legacy attributes (%.*s)", dir, enable_path[i]);
        return HX_BOARD_FOUND;
    }
    char path[64];
    if (find_counter(static_cast<int>(i), path)) {
        // What init writes: the ceiling, enable and the count.
        for (const char* attr : {"count0/ceiling", "count0/enable", "count0/count"}) {
            char file[96];
            std::snprintf(file, sizeof file, "%s/%s", path, attr);
            if (!hx::sysfs::writable(file, whose, sizeof whose)) {
                std::snprintf(where, cap, "counter device %s (%s): %s not this user's to write (%s)",
                              std::strrchr(path, '/') + 1, counter_name[i], attr, whose);
                return HX_BOARD_NOT_PERMITTED;
            }
        }
        std::snprintf(where, cap, "counter device %s (%s)", std::strrchr(path, '/') + 1, counter_name[i]);
        return HX_BOARD_FOUND;
    }
    std::snprintf(where, cap, "no eQEP unit %.8s: neither its vendor attributes nor a counter device", counter_name[i]);
    return HX_BOARD_MISSING;
}

}  // extern "C"
