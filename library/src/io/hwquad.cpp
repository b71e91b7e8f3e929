// Encoder channels 1-3 through the eQEP units' sysfs attributes.
#include "hx/hwquad.h"

#include <array>
#include <cstdint>
#include <cstdio>
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
constexpr int no_fd = -1;  // descriptor 0 is a real descriptor
constexpr std::size_t text_len = 12;  // "-2147483648" and its NUL

int init_flag = 0;
std::array<int, 3> fd = {no_fd, no_fd, no_fd};

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

int init_channel(int i)
{
    const int en = open(enable_path[i], O_WRONLY);
    if (en < 0) return open_failed();
    const ssize_t w = write(en, "1", 2);  // "1" and its NUL, as the driver expects
    if (w == -1) {
        std::perror("ERROR in hx_hwquad_init, failed to enable device driver");
        close(en);
        return -1;
    }
    close(en);

    const int pos = open(position_path[i], O_RDWR);
    if (pos < 0) return open_failed();
    if (write(pos, "0", 2) == -1) {
        std::perror("ERROR in hx_hwquad_init, failed to zero out position");
        close(pos);
        return -1;
    }
    fd[i] = pos;
    return 0;
}

// atoi's rules (leading white space, one sign, digits up to the first other byte) over
// exactly n bytes, saturating at the int32 limits where atoi would be undefined.
int32_t parse_position(const char* s, std::size_t n)
{
    std::size_t i = 0;
    while (i < n && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    int64_t v = 0;
    constexpr int64_t limit = int64_t{INT32_MAX} + 1;
    for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > limit) v = limit;  // at most 12 digits, so this cannot overflow first
    }
    if (negative) return static_cast<int32_t>(-v);
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
    if (lseek(f, 0, SEEK_SET) < 0) {
        std::perror("ERROR: in hx_hwquad_read, failed to seek to beginning of fd");
        return -1;
    }
    char buf[text_len];
    const ssize_t n = read(f, buf, sizeof buf);
    if (n == -1) {
        std::perror("ERROR in hx_hwquad_read, can't read position fd");
        return -1;
    }
    return parse_position(buf, static_cast<std::size_t>(n));
}

int hx_hwquad_write(int ch, int pos)
{
    const int f = channel_fd(ch,
        "ERROR in hx_hwquad_write, please initialize with hx_hwquad_init() first\n",
        "ERROR in hx_hwquad_write, channel 4 is read by the PRU, use hx_fwquad_write instead\n",
        "ERROR: in hx_hwquad_write, encoder channel must be between 1 & 3 inclusive\n");
    if (f < 0) return -1;
    if (lseek(f, 0, SEEK_SET) < 0) {
        std::perror("ERROR: in hx_hwquad_write, failed to seek to beginning of fd");
        return -1;
    }
    // The whole buffer is written; its filler is zeros, never stack contents.
    char buf[text_len] = {};
    std::to_chars(buf, buf + text_len - 1, pos);
    if (write(f, buf, sizeof buf) == -1) {
        std::perror("ERROR in hx_hwquad_write, can't write position fd");
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

}  // extern "C"
