// The board check's pin mux: each signal's pad as the kernel's pin controller
// (pinctrl-single at 0x44E10800) shows it in debugfs, against the pad table.
#include "hx/board.h"

#include "pads.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

namespace pads = hx::pads;

constexpr const char* debugfs = "/sys/kernel/debug";
constexpr const char* pinctrl_dir = "/sys/kernel/debug/pinctrl";
// "44e10800.pinmux-pinctrl-single" from 4.19 on, "44e10800.pinmux" before.
constexpr const char* controller = "44e10800.pinmux";

int status(char* where, std::size_t cap, int code, const char* text)
{
    std::snprintf(where, cap, "%s", text);
    return code;
}

// The controller's pins file into path; or HX_BOARD_UNKNOWN / HX_BOARD_MISSING with
// where saying why.
int pins_file(char* path, std::size_t path_cap, char* where, std::size_t cap)
{
    DIR* d = opendir(pinctrl_dir);
    if (d == nullptr) {
        if (errno == EACCES || errno == EPERM)
            return status(where, cap, HX_BOARD_UNKNOWN,
                          "the pin mux is in the kernel's debugfs, which only root may read: run this as root (sudo)");
        // Not mounted leaves the mount point empty; mounted, debugfs always has entries.
        DIR* top = opendir(debugfs);
        bool empty = true;
        if (top != nullptr) {
            for (dirent* e; empty && (e = readdir(top)) != nullptr;)
                empty = std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0;
            closedir(top);
        }
        if (empty)
            return status(where, cap, HX_BOARD_UNKNOWN,
                          "debugfs is not mounted, and the pin mux is read from it: "
                          "sudo mount -t debugfs none /sys/kernel/debug");
        return status(where, cap, HX_BOARD_MISSING, "the kernel has no pin controller (no /sys/kernel/debug/pinctrl)");
    }
    bool found = false;
    for (dirent* e; !found && (e = readdir(d)) != nullptr;) {
        if (std::strncmp(e->d_name, controller, std::strlen(controller)) != 0) continue;
        std::snprintf(path, path_cap, "%s/%s/pins", pinctrl_dir, e->d_name);
        found = true;
    }
    closedir(d);
    if (!found)
        return status(where, cap, HX_BOARD_MISSING, "no pin controller at 44e10800 in /sys/kernel/debug/pinctrl");
    return HX_BOARD_FOUND;
}

bool hex(const char* s, std::size_t n, unsigned long* out)
{
    if (n == 0 || n > 8) return false;
    unsigned long v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = s[i];
        const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0) return false;
        v = v * 16 + static_cast<unsigned long>(d);
    }
    *out = v;
    return true;
}

// One line of the pins file: "pin 14 (PIN14) [14:gpio-32-63 ]44e10838 00000036 pinctrl-single ";
// the value when its address is address. The GPIO column (5.9 on) is never hex (it has
// a colon), nor is anything before the address.
bool value_in_line(const char* line, std::size_t n, unsigned long address, unsigned long* value)
{
    const char* prev = nullptr;
    std::size_t prev_n = 0;
    std::size_t i = 0;
    while (i < n) {
        while (i < n && line[i] == ' ') ++i;
        const std::size_t start = i;
        while (i < n && line[i] != ' ') ++i;
        if (i == start) break;
        unsigned long a = 0;
        if (prev != nullptr && i - start == 8 && hex(prev, prev_n, &a) && a == address &&
            hex(line + start, 8, value))
            return true;
        prev = line + start;
        prev_n = i - start;
    }
    return false;
}

// The pad's register as the pins file shows it: 1, 0 when the file has no line for it,
// -1 when the file cannot be read (errno set).
int read_pad(const char* path, int offset, unsigned long* value)
{
    const int f = open(path, O_RDONLY | O_CLOEXEC);
    if (f < 0) return -1;
    const unsigned long address = pads::control_module + static_cast<unsigned long>(offset);
    char buf[1024];
    std::size_t have = 0;
    int found = 0;
    for (;;) {
        const ssize_t got = read(f, buf + have, sizeof buf - have);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int e = errno;
            close(f);
            errno = e;
            return -1;
        }
        have += static_cast<std::size_t>(got);
        std::size_t line = 0;
        for (std::size_t i = 0; i < have && !found; ++i) {
            if (buf[i] != '\n') continue;
            found = value_in_line(buf + line, i - line, address, value) ? 1 : 0;
            line = i + 1;
        }
        if (found || got == 0) {
            if (!found && have > line) found = value_in_line(buf + line, have - line, address, value) ? 1 : 0;
            break;
        }
        // A line longer than the buffer is none of the controller's.
        if (line == 0) line = have;
        std::memmove(buf, buf + line, have - line);
        have -= line;
    }
    close(f);
    return found;
}

const char* mode_name(const pads::pad& p, unsigned mode)
{
    return p.mode[mode] != nullptr ? p.mode[mode] : "reserved";
}

const char* pull_name(unsigned long v)
{
    if (v & pads::pull_disable) return "no pull";
    return (v & pads::pull_up) ? "pull-up" : "pull-down";
}

// Whether eQEP unit eqep's A input is muxed on any of its other pads, into elsewhere.
bool eqep_a_elsewhere(const char* path, int eqep, const char** elsewhere)
{
    for (const pads::route& r : pads::eqep_a_elsewhere) {
        unsigned long v = 0;
        if (r.eqep != eqep || read_pad(path, r.offset, &v) != 1) continue;
        if ((v & pads::mode_mask) == r.mode) {
            *elsewhere = pads::find(r.offset)->name;
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" {

int hx_board_pinctrl(char* where, size_t cap)
{
    if (where == nullptr || cap == 0) return -1;
    char path[320];
    const int located = pins_file(path, sizeof path, where, cap);
    if (located == HX_BOARD_FOUND) {
        *std::strrchr(path, '/') = '\0';
        std::snprintf(where, cap, "%s", path);
    }
    return located;
}

const char* hx_board_signal(int signal)
{
    return signal >= 0 && signal < pads::signal_count ? pads::signals[signal].what : nullptr;
}

int hx_board_pad(int signal, char* where, size_t cap)
{
    if (signal < 0 || signal >= pads::signal_count || where == nullptr || cap == 0) return -1;
    const pads::signal& s = pads::signals[signal];
    const pads::pad& p = *pads::find(s.offset);
    char path[320];
    const int located = pins_file(path, sizeof path, where, cap);
    if (located != HX_BOARD_FOUND) return located;
    unsigned long v = 0;
    const int got = read_pad(path, s.offset, &v);
    if (got < 0) {
        std::snprintf(where, cap, "can't read %s: %s", path, std::strerror(errno));
        return errno == EACCES || errno == EPERM ? HX_BOARD_UNKNOWN : HX_BOARD_MISSING;
    }
    if (got == 0) {
        std::snprintf(where, cap, "%s shows no pad %s (%x)", path, p.name, pads::control_module + s.offset);
        return HX_BOARD_MISSING;
    }
    const unsigned mode = v & pads::mode_mask;
    const unsigned want = s.value & pads::mode_mask;
    const bool input = s.value & pads::input_enable;
    char fix[48];
    std::snprintf(fix, sizeof fix, "halvex-device-tree sets %#x to %#04x", s.offset, s.value);
    if (mode != want) {
        const int n = std::snprintf(where, cap, "pad %s (%s) is in mode %u (%s), not mode %u (%s); %s", p.name, p.ball,
                                    mode, mode_name(p, mode), want, s.function, fix);
        // An eQEP unit counts only with an A input: say when it has none at all.
        if (s.eqep_a >= 0 && n > 0 && static_cast<std::size_t>(n) < cap) {
            const int eqep = s.eqep_a;
            const char* elsewhere = nullptr;
            char found[128];
            if (eqep_a_elsewhere(path, eqep, &elsewhere))
                std::snprintf(where + n, cap - static_cast<std::size_t>(n),
                              "; eQEP %d A is muxed on pad %s instead, which this board does not wire to it", eqep,
                              elsewhere);
            else if (hx_board_eqep(eqep + 1, found, sizeof found) == HX_BOARD_FOUND)
                std::snprintf(where + n, cap - static_cast<std::size_t>(n),
                              "; eQEP %d is enabled but neither of its A inputs is muxed: it will never count", eqep);
        }
        return HX_BOARD_MISSING;
    }
    if (input && !(v & pads::input_enable)) {
        std::snprintf(where, cap, "pad %s (%s) is in mode %u (%s) with its receiver off: the input reads nothing; %s",
                      p.name, p.ball, mode, mode_name(p, mode), fix);
        return HX_BOARD_MISSING;
    }
    const int n = std::snprintf(where, cap, "pad %s (%s) mode %u (%s), %s, %s", p.name, p.ball, mode,
                                mode_name(p, mode), input ? "input" : "output", pull_name(v));
    const unsigned long pull_bits = pads::pull_disable | pads::pull_up;
    if (s.pull_matters && (v & pull_bits) != (s.value & pull_bits) && n > 0 && static_cast<std::size_t>(n) < cap)
        std::snprintf(where + n, cap - static_cast<std::size_t>(n), " (halvex-device-tree gives it %s)",
                      pull_name(s.value));
    return HX_BOARD_FOUND;
}

}  // extern "C"
