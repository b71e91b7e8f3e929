// boardcheck: the guest's side of the board VM, where the kernel's own eQEP and PRU
// drivers run on registers that are guest RAM and prurun plays the PRU cores. It drives
// the library and the programs and reads the registers back through /dev/mem, printing
// one "RESULT name PASS|FAIL" line a check with the values and what they mean.
//
//   boardcheck eqep                 hwquad on the counter subsystem's ti-eqep: QPOSMAX,
//                                   QEPCTL, QPOSCNT after init; counts moved in QPOSCNT
//                                   read back, writes land there
//   boardcheck fwquad FIFO STATUS   channel 4 through the real pru_rproc, with prurun
//                                   running the core: handshake, walks, a write, cleanup
//   boardcheck servo STATUS R30     the servo service through the real pru_rproc on core
//                                   1: every channel one pulse of its width, to the cycle
//   boardcheck calibration PROGRAM STATUS R30
//                                   hx_throttle_cal with its Enters played: on all eight,
//                                   full then minimum throttle, one pulse a call, nothing
//                                   after the end
//   boardcheck kill9 ROBOT STATUS R30
//                                   a robot pulsing every channel killed: one pulse a
//                                   call, nothing after
//   boardcheck users FIFO STATUS R30
//                                   the library as a robot's service runs it, after
//                                   the packages' udev rules: uid 1000 in group halvex
//                                   (999) with no capability sets up channels 1-4 and
//                                   the servos (the PRU memories through their UIO
//                                   device); uid 1001, in no group of the board's, is
//                                   refused each, told the group
//   boardcheck pinmux               the pads as pinctrl-single wrote them from the
//                                   merged tree: every signal's register through
//                                   /dev/mem at the pad table's value, debugfs showing
//                                   every pad as the register holds it, and the PRU's and
//                                   eQEP's pads owned by the device that uses them
//
// Register offsets and meanings: the AM335x TRM (eQEP QPOSCNT 0x00, QPOSMAX 0x08, QEPCTL
// 0x2a; PRU CONTROL 0x4a322000 and 0x4a324000, bit 1 the enable). The servo protocol's
// words are firmware/servo.s's, in PRU1's data RAM at 0x4a302000.
#include "../../library/src/sys/pads.h"

#include <hx/fwquad.h>
#include <hx/hwquad.h>
#include <hx/servo.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t pwmss = 0x48300000;
volatile uint8_t* regs = nullptr;

uint16_t r16(uint32_t addr) { return *reinterpret_cast<volatile uint16_t*>(regs + (addr - pwmss)); }
uint32_t r32(uint32_t addr) { return *reinterpret_cast<volatile uint32_t*>(regs + (addr - pwmss)); }

// The eQEP registers' RAM, and PRU1's data RAM with its CONTROL.
volatile uint32_t* pru1_data = nullptr;
volatile uint32_t* pru1_ctrl = nullptr;

bool map_registers()
{
    const int f = open("/dev/mem", O_RDWR | O_SYNC);
    if (f < 0) return false;
    void* m = mmap(nullptr, 0x6000, PROT_READ | PROT_WRITE, MAP_SHARED, f, pwmss);
    void* d = mmap(nullptr, 0x2000, PROT_READ, MAP_SHARED, f, 0x4a302000);
    void* c = mmap(nullptr, 0x1000, PROT_READ, MAP_SHARED, f, 0x4a324000);
    close(f);
    if (m == MAP_FAILED || d == MAP_FAILED || c == MAP_FAILED) return false;
    regs = static_cast<volatile uint8_t*>(m);
    pru1_data = static_cast<volatile uint32_t*>(d);
    pru1_ctrl = static_cast<volatile uint32_t*>(c);
    return true;
}

long long now_us()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void result(const char* name, bool pass, const std::string& detail)
{
    std::printf("RESULT %s %s %s\n", name, pass ? "PASS" : "FAIL", detail.c_str());
    std::fflush(stdout);
}

// A program on a pseudo-terminal, as a person runs it (its output line-buffered).
struct session {
    pid_t pid = -1;
    int master = -1;
    std::string seen;  // everything it printed so far
};

session start(const char* program, const char* a1 = nullptr)
{
    session s;
    s.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (s.master < 0 || grantpt(s.master) != 0 || unlockpt(s.master) != 0) return s;
    const std::string slave = ptsname(s.master);
    s.pid = fork();
    if (s.pid == 0) {
        setsid();
        const int t = open(slave.c_str(), O_RDWR);
        dup2(t, 0);
        dup2(t, 1);
        dup2(t, 2);
        close(s.master);
        execl(program, program, a1, static_cast<char*>(nullptr));
        _exit(127);
    }
    return s;
}

// Waits until the program has printed text, up to limit_ms; false if it did not.
bool wait_for(session& s, const char* text, int limit_ms)
{
    const long long end = now_us() + limit_ms * 1000LL;
    while (s.seen.find(text) == std::string::npos) {
        const long long left = end - now_us();
        if (left <= 0) return false;
        pollfd p{s.master, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left / 1000) + 1) <= 0) continue;
        char buf[256];
        const ssize_t n = read(s.master, buf, sizeof buf);
        if (n <= 0) return false;
        s.seen.append(buf, static_cast<size_t>(n));
    }
    return true;
}

// prurun's STATUS: the number after key, in base.
long long status_field(const char* status, const char* key, int base = 10)
{
    char buf[192] = {};
    const int f = open(status, O_RDONLY);
    if (f < 0) return -1;
    const ssize_t n = read(f, buf, sizeof buf - 1);
    close(f);
    const char* at = n > 0 ? std::strstr(buf, key) : nullptr;
    return at != nullptr ? std::strtoll(at + std::strlen(key) + 1, nullptr, base) : -1;
}

// The servo header from prurun's record of core 1's R30: the widths of channel ch's
// pulses in cycles (servo 1..8 on R30 bits 8, 10, 9, 11, 6, 7, 4, 5).
std::vector<unsigned long long> widths(const char* record, int ch)
{
    static const int bit[9] = {-1, 8, 10, 9, 11, 6, 7, 4, 5};
    std::vector<unsigned long long> out;
    std::FILE* f = std::fopen(record, "r");
    if (f == nullptr) return out;
    unsigned long long cycle = 0, rise = 0;
    unsigned value = 0, was = 0;
    const unsigned b = 1u << bit[ch];
    while (std::fscanf(f, "%llu %x", &cycle, &value) == 2) {
        if ((value & b) && !(was & b)) rise = cycle;
        if (!(value & b) && (was & b)) out.push_back(cycle - rise);
        was = value;
    }
    std::fclose(f);
    return out;
}

// The servo protocol's words: requests taken, and the highest request number written.
uint32_t taken() { return pru1_data[2]; }
uint32_t written()
{
    uint32_t n = 0;
    for (int slot = 0; slot < 16; ++slot) {
        const uint32_t number = pru1_data[0x40 / 4 + 8 * slot];
        n = std::max(n, number);
    }
    return n;
}

// Until every request written is taken, R30 is low and core 1 has run 25 ms more (past
// the longest pulse), or has stopped; guest time only as a limit.
bool servo_settle(const char* status)
{
    const long long end = now_us() + 20000000;
    long long from = -1;
    while (now_us() < end) {
        const bool done = taken() == written() && status_field(status, "r30", 16) == 0;
        if (done && (*pru1_ctrl & 2) == 0) return true;
        const long long cycle = status_field(status, "cycle1");
        if (from < 0 && done) from = cycle;
        if (from >= 0 && cycle >= from + 5000000) return true;
        usleep(1000);
    }
    return false;
}

// Each channel's pulses in the record now, as many as it had at the start of a check.
std::vector<size_t> counts(const char* record)
{
    std::vector<size_t> n(9);
    for (int ch = 1; ch <= 8; ++ch) n[static_cast<size_t>(ch)] = widths(record, ch).size();
    return n;
}

// Every channel's pulses since before: as many as the calls, each of the width (in
// cycles) want wants for it.
bool one_pulse_a_call(const char* record, const std::vector<size_t>& before, uint32_t calls,
                      const std::vector<unsigned long long>& want, std::string& detail)
{
    bool ok = true;
    for (int ch = 1; ch <= 8; ++ch) {
        auto w = widths(record, ch);
        w.erase(w.begin(), w.begin() + static_cast<long>(std::min(before[static_cast<size_t>(ch)], w.size())));
        bool each = w.size() == calls && want.size() == calls;
        for (size_t k = 0; each && k < w.size(); ++k) each = w[k] == want[k];
        ok = ok && each;
        if (ch == 1 || !each) {
            detail += "servo " + std::to_string(ch) + ": " + std::to_string(w.size()) + " pulses";
            if (!w.empty()) detail += " from " + std::to_string(w.front()) + " to " + std::to_string(w.back()) + " cycles";
            detail += "; ";
        }
    }
    return ok;
}

int servo(const char* status, const char* record)
{
    const int rc = hx_servo_init();
    bool ok = rc == 0 && (*pru1_ctrl & 2) != 0 && pru1_data[3] == 200;
    result("servo-init", ok, "hx_servo_init() = " + std::to_string(rc) + ", PRU1 CONTROL 0x" + [] {
        char h[16];
        std::snprintf(h, sizeof h, "%x", *pru1_ctrl);
        return std::string(h);
    }() + ", the firmware's tick " + std::to_string(pru1_data[3]) + " cycles");
    if (!ok) return 1;
    int fails = 0;
    for (int ch = 1; ch <= 8; ++ch) hx_servo_send_pulse_us(ch, 1000 + 100 * ch);
    const bool settled = servo_settle(status);
    for (int ch = 1; ch <= 8; ++ch) {
        const auto w = widths(record, ch);
        const unsigned long long want = 200ull * (1000 + 100 * ch);
        ok = settled && w.size() == 1 && w[0] == want;
        char name[16], detail[160];
        std::snprintf(name, sizeof name, "servo-ch%d", ch);
        std::snprintf(detail, sizeof detail, "%zu pulse(s) on R30, %llu cycles (asked %d us: %llu)", w.size(),
                      w.empty() ? 0 : w[0], 1000 + 100 * ch, want);
        result(name, ok, detail);
        fails += !ok;
    }
    hx_servo_cleanup();
    ok = (*pru1_ctrl & 2) == 0 && status_field(status, "r30", 16) == 0;
    result("servo-cleanup", ok, "PRU1 stopped with every output low");
    return fails + !ok != 0;
}

// Under TCG the PRU core model interprets a pulse's ticks far slower than the guest's
// clock runs, so the program's requests wait in the ring, and its cleanup's stop drops
// those still waiting, as the protocol says. What the VM shows: the firmware took the
// program's requests in order, each taken one gave exactly one pulse of its width on all
// eight, full throttle then minimum, and nothing came after the end.
int calibration(const char* program, const char* status, const char* record)
{
    const std::vector<size_t> before = counts(record);
    session s = start(program);
    const pid_t pid = s.pid;
    auto count = [&](unsigned long long cycles) {
        const auto w = widths(record, 1);
        return std::count(w.begin() + static_cast<long>(std::min(before[1], w.size())), w.end(), cycles);
    };
    auto wait_pulses = [&](unsigned long long cycles, long n) {
        const long long end = now_us() + 20000000;
        while (count(cycles) < n && now_us() < end) usleep(10000);
        return count(cycles) >= n;
    };
    const long long t0 = now_us(), e0 = status_field(status, "executed1"), c0 = status_field(status, "cycle1");
    const bool asked = wait_for(s, "press enter to start", 10000);
    (void)!write(s.master, "\n", 1);
    const bool full = asked && wait_pulses(400000, 10);
    wait_for(s, "Press enter again after the ESCs finish", 5000);
    (void)!write(s.master, "\n", 1);
    wait_for(s, "Press enter again after the ESCs chirp", 5000);
    const bool minimum = wait_pulses(200000, 10);
    (void)!write(s.master, "\n", 1);
    int status_code = 0;
    waitpid(pid, &status_code, 0);
    close(s.master);
    std::printf("model: %lld PRU instructions interpreted over %lld us of the guest's time, core 1's clock %lld us on\n",
                status_field(status, "executed1") - e0, now_us() - t0, (status_field(status, "cycle1") - c0) / 200);
    const bool stopped = (*pru1_ctrl & 2) == 0 && status_field(status, "r30", 16) == 0;
    const uint32_t calls = written(), took = taken();
    // Servo 1's pulses since the start, in cycles; every channel the same.
    auto want = widths(record, 1);
    want.erase(want.begin(), want.begin() + static_cast<long>(std::min(before[1], want.size())));
    std::string detail = "exit status " + std::to_string(WIFEXITED(status_code) ? WEXITSTATUS(status_code) : -1) + "; ";
    // The stop may have come in the middle of the last pulse, and ended it there.
    const bool cut = !want.empty() && want.back() < 200000;
    const size_t full_n = static_cast<size_t>(std::count(want.begin(), want.end(), 400000ull));
    const size_t min_n = static_cast<size_t>(std::count(want.begin(), want.end(), 200000ull));
    bool ok = full && minimum && stopped && WIFEXITED(status_code) && WEXITSTATUS(status_code) == 0 && full_n >= 10 &&
              min_n >= 10 && full_n + min_n + cut == want.size() &&
              std::is_sorted(want.begin(), want.end(), std::greater<unsigned long long>()) && took <= calls &&
              calls - took <= 16 && one_pulse_a_call(record, before, took, want, detail);
    detail += std::to_string(full_n) + " of 2000 us then " + std::to_string(min_n) + " of 1000 us" +
              (cut ? " and one ended after " + std::to_string(want.back()) + " cycles by the stop" : std::string()) +
              " on all eight, one a request taken (" + std::to_string(took) + " of the program's " +
              std::to_string(calls) + " calls; the " + std::to_string(calls - took) +
              " still waiting for the model were dropped by its cleanup's stop); then PRU1 " +
              (stopped ? "stopped, every output low" : "NOT stopped");
    result("calibration", ok, detail);
    return !ok;
}

int kill9(const char* robot, const char* status, const char* record)
{
    const std::vector<size_t> before = counts(record);
    session s = start(robot, "stay");
    const bool ready = wait_for(s, "ready", 10000);
    const long long end = now_us() + 10000000;
    while (taken() < 5 && now_us() < end) usleep(1000);
    kill(s.pid, SIGKILL);
    waitpid(s.pid, nullptr, 0);
    close(s.master);
    const uint32_t calls = written();
    const bool settled = servo_settle(status);
    std::string detail = std::to_string(calls) + " calls; ";
    const bool ok = ready && settled && one_pulse_a_call(record, before, calls, std::vector<unsigned long long>(calls, 300000), detail) &&
                    written() == calls;
    detail += std::string("R30 ") + (status_field(status, "r30", 16) == 0 ? "low" : "high") + ", PRU1 still running: " +
              ((*pru1_ctrl & 2) ? "yes" : "no");
    result("servo-kill9", ok, detail);
    return !ok;
}

void w32(uint32_t addr, uint32_t v) { *reinterpret_cast<volatile uint32_t*>(regs + (addr - pwmss)) = v; }

std::string hex(uint32_t v)
{
    char b[16];
    std::snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

int eqep()
{
    int fails = 0;
    const int rc = hx_hwquad_init();
    for (int ch = 1; ch <= 3; ++ch) {
        const uint32_t b = 0x48300180 + static_cast<uint32_t>(ch - 1) * 0x2000;
        const uint32_t qposmax = r32(b + 0x08), qposcnt = r32(b);
        const uint16_t qepctl = r16(b + 0x2a);
        const bool ok = rc == 0 && qposmax == 0xffffffff && (qepctl & 0x0008) != 0 && qposcnt == 0;
        result(("eqep-init-ch" + std::to_string(ch)).c_str(), ok,
               "QPOSMAX " + hex(qposmax) + " (ceiling 2^32-1), QEPCTL " + hex(qepctl) + " (PHEN 0x8: counting), QPOSCNT " +
                   hex(qposcnt));
        fails += !ok;
        // The wheel turns: the count register moves, as the unit would move it.
        std::string seen;
        bool follows = true;
        for (const uint32_t v : {1234u * ch, 0xfffffff0u, 0x7fffffffu, 0x80000000u}) {
            w32(b, v);
            const int got = hx_hwquad_read(ch);
            seen += hex(v) + " reads " + std::to_string(got) + "; ";
            follows = follows && got == static_cast<int32_t>(v);
        }
        result(("eqep-read-ch" + std::to_string(ch)).c_str(), follows, "QPOSCNT " + seen);
        fails += !follows;
        const int wrc = hx_hwquad_write(ch, -5 * ch);
        const bool lands = wrc == 0 && r32(b) == static_cast<uint32_t>(-5 * ch);
        result(("eqep-write-ch" + std::to_string(ch)).c_str(), lands,
               "hx_hwquad_write(" + std::to_string(ch) + ", " + std::to_string(-5 * ch) + ") = " + std::to_string(wrc) +
                   ", QPOSCNT " + hex(r32(b)));
        fails += !lands;
    }
    // Cleanup closes the attributes; the units are left counting.
    const int fds_before = [] {
        int n = 0;
        DIR* d = opendir("/proc/self/fd");
        while (readdir(d) != nullptr) ++n;
        closedir(d);
        return n;
    }();
    hx_hwquad_cleanup();
    DIR* d = opendir("/proc/self/fd");
    int fds_after = 0;
    while (readdir(d) != nullptr) ++fds_after;
    closedir(d);
    const bool closed = fds_before - fds_after == 3;
    result("eqep-cleanup", closed, std::to_string(fds_before - fds_after) + " attributes closed, QEPCTL ch1 " +
                                       hex(r16(0x48300180 + 0x2a)));
    return fails + !closed != 0;
}

// The wheel of channel 4, through prurun.
struct wheel_link {
    int fifo;
    std::string status;
    long long position = 0;  // where the wheel will be once the walks are done
    long long field(const char* key) const
    {
        char buf[128] = {};
        const int f = open(status.c_str(), O_RDONLY);
        if (f < 0) return -1;
        const ssize_t n = read(f, buf, sizeof buf - 1);
        close(f);
        const char* at = n > 0 ? std::strstr(buf, key) : nullptr;
        return at != nullptr ? std::atoll(at + std::strlen(key) + 1) : -1;
    }
    // Steps spacing core cycles apart; then until prurun has run past them (guest time
    // only as a limit).
    bool walk(const std::string& steps, int spacing)
    {
        const std::string cmd = "walk " + std::to_string(spacing) + " " + steps + "\n";
        (void)!write(fifo, cmd.data(), cmd.size());
        for (const char c : steps) position += c == '+' ? 1 : c == '-' ? -1 : 0;
        const long long end = now_us() + 20000000;
        long long from = -1;
        while (now_us() < end) {
            const long long cycle = field("cycle");
            if (from < 0 && field("pending") == 0 && field("position") == position) from = cycle;
            if (from >= 0 && cycle >= from + 1000) return true;
            usleep(1000);
        }
        return false;
    }
};

int fwquad(const char* fifo, const char* status)
{
    const int f = open("/dev/mem", O_RDONLY | O_SYNC);
    void* m = mmap(nullptr, 0x1000, PROT_READ, MAP_SHARED, f, 0x4a322000);
    close(f);
    if (m == MAP_FAILED) {
        result("fwquad", false, "can't map PRU0's CONTROL");
        return 1;
    }
    volatile uint32_t* ctrl = static_cast<volatile uint32_t*>(m);
    wheel_link w{open(fifo, O_WRONLY), status};
    int fails = 0;
    const long long t0 = now_us();
    const int rc = hx_fwquad_init();
    const long long took = now_us() - t0;
    bool ok = rc == 0 && (*ctrl & 2) != 0;
    result("fwquad-handshake", ok, "hx_fwquad_init() = " + std::to_string(rc) + " after " + std::to_string(took / 1000) +
                                       " ms, CONTROL " + hex(*ctrl) + " (enabled, boot address 0)");
    fails += !ok;
    const bool up = w.walk(std::string(1000, '+'), 2000);
    const int a = hx_fwquad_read();
    const bool down = w.walk(std::string(1500, '-'), 2000);
    const int b = hx_fwquad_read();
    ok = up && down && a == 1000 && b == -500;
    result("fwquad-walks", ok, "1000 edges up read " + std::to_string(a) + ", 1500 down read " + std::to_string(b) +
                                   " (wheel position " + std::to_string(w.field("position")) + ")");
    fails += !ok;
    const int wrc = hx_fwquad_write(5000);
    const bool on = w.walk("+++", 2000);
    const int c = hx_fwquad_read();
    ok = wrc == 0 && on && c == 5003;
    result("fwquad-write", ok, "hx_fwquad_write(5000) then 3 edges up: read " + std::to_string(c));
    fails += !ok;
    hx_fwquad_cleanup();
    ok = (*ctrl & 2) == 0;
    result("fwquad-cleanup", ok, "CONTROL " + hex(*ctrl) + " (enable bit clear: the core stopped)");
    fails += !ok;
    // An image the kernel's loader refuses (more code than IRAM holds) under the name.
    const char* image = "/lib/firmware/am335x-pru0-hx-encoder-fw";
    if (rename(image, "/lib/firmware/encoder.keep") == 0 && rename("/lib/firmware/too-big", image) == 0) {
        const int refused = hx_fwquad_init();
        ok = refused == -1 && (*ctrl & 2) == 0;
        result("fwquad-refused", ok, "hx_fwquad_init() = " + std::to_string(refused) + " with an image too big for IRAM, CONTROL " +
                                         hex(*ctrl));
        fails += !ok;
        hx_fwquad_cleanup();
        rename("/lib/firmware/encoder.keep", image);
    }
    return fails != 0;
}

// Runs f as uid with the groups (the first the primary) and no capability, in a child;
// what it wrote to standard error comes back in err. f's exit status, or -1.
int as_user(uid_t uid, std::vector<gid_t> groups, int (*f)(int, const char*, const char*), int fifo,
            const char* status, const char* record, std::string& err)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipe_fds[1], 2);
        close(pipe_fds[0]);
        if (setgroups(groups.size(), groups.data()) != 0 || setgid(groups[0]) != 0 || setuid(uid) != 0) _exit(125);
        _exit(f(fifo, status, record));
    }
    close(pipe_fds[1]);
    char buf[512];
    for (ssize_t n; (n = read(pipe_fds[0], buf, sizeof buf)) > 0;) err.append(buf, static_cast<size_t>(n));
    close(pipe_fds[0]);
    int st = 0;
    waitpid(child, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// CapEff as /proc/self/status gives it.
std::string cap_eff()
{
    std::FILE* f = std::fopen("/proc/self/status", "r");
    char line[128];
    std::string out = "?";
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, "CapEff:", 7) == 0) out = std::string(line + 8, std::strcspn(line + 8, "\n"));
    if (f != nullptr) std::fclose(f);
    return out;
}

// In group halvex: every service the library has here, through what the rules gave.
int as_member(int fifo, const char* status, const char* record)
{
    int fails = 0;
    const std::string caps = cap_eff();
    bool ok = caps.find_first_not_of("0\t ") == std::string::npos;
    result("user-capabilities", ok, "uid " + std::to_string(getuid()) + ", groups of halvex, CapEff " + caps);
    fails += !ok;
    const int hw = hx_hwquad_init();
    const int wrote = hw == 0 ? hx_hwquad_write(1, 777) : -1;
    const int read_back = hw == 0 ? hx_hwquad_read(1) : -1;
    ok = hw == 0 && wrote == 0 && read_back == 777;
    result("user-encoders-1-3", ok, "hx_hwquad_init() = " + std::to_string(hw) + ", channel 1 written 777, read " +
                                        std::to_string(read_back) + " (the counter's attributes, group halvex)");
    fails += !ok;
    hx_hwquad_cleanup();
    wheel_link w{fifo, status};
    w.position = w.field("position");  // where the checks before left the wheel
    const int fw = hx_fwquad_init();
    const bool walked = fw == 0 && w.walk("++++", 2000);
    const int four = fw == 0 ? hx_fwquad_read() : -1;
    ok = fw == 0 && walked && four == 4;
    result("user-encoder-4", ok, "hx_fwquad_init() = " + std::to_string(fw) + ", 4 edges read " + std::to_string(four) +
                                     " (remoteproc by the rules, the shared RAM through its UIO device)");
    fails += !ok;
    hx_fwquad_cleanup();
    const auto before = widths(record, 1).size();
    const int sv = hx_servo_init();
    const int sent = sv == 0 ? hx_servo_send_pulse_us(1, 1500) : -1;
    const bool settled = sv == 0 && servo_settle(status);
    const auto w1 = widths(record, 1);
    ok = sent == 0 && settled && w1.size() == before + 1 && w1.back() == 300000;
    result("user-servos", ok, "hx_servo_init() = " + std::to_string(sv) + ", one 1500 us request: " +
                                  std::to_string(w1.size() - before) + " pulse of " +
                                  std::to_string(w1.empty() ? 0 : w1.back()) + " cycles (PRU1's data RAM through UIO)");
    fails += !ok;
    hx_servo_cleanup();
    return fails != 0;
}

// In no group of the board's: each service refused.
int as_outsider(int, const char*, const char*)
{
    const int hw = hx_hwquad_init(), fw = hx_fwquad_init(), sv = hx_servo_init();
    hx_fwquad_cleanup();
    return hw == -1 && fw == -1 && sv == -1 ? 0 : 1;
}

int users(const char* fifo_path, const char* status, const char* record)
{
    const int fifo = open(fifo_path, O_WRONLY);
    std::string err;
    const int member = as_user(1000, {1000, 999}, as_member, fifo, status, record, err);
    if (!err.empty()) std::printf("| %s", err.c_str());
    std::string refused;
    const int outsider = as_user(1001, {1001}, as_outsider, fifo, status, record, refused);
    // The firmware's and the servos' refusals name the group their attributes are in.
    const bool named = refused.find("(group halvex, mode 06") != std::string::npos;
    const size_t line = named ? refused.rfind('\n', refused.find("(group halvex, mode 06")) + 1 : 0;
    result("user-outsider", outsider == 0 && named,
           "uid 1001: every init refused" + std::string(named ? ", the group halvex named: " : ": ") +
               refused.substr(line, refused.find('\n', line) - line));
    for (size_t at = 0, next; at < refused.size(); at = next + 1) {
        next = refused.find('\n', at);
        if (next == std::string::npos) next = refused.size();
        std::printf("| %s\n", refused.substr(at, next - at).c_str());
    }
    close(fifo);
    return member != 0 || outsider != 0 || !named;
}

// A debugfs file of the pin controller, whole.
std::string pinctrl_file(const char* name)
{
    std::string out;
    DIR* d = opendir("/sys/kernel/debug/pinctrl");
    for (dirent* e; d != nullptr && (e = readdir(d)) != nullptr;) {
        if (std::strncmp(e->d_name, "44e10800.pinmux", 15) != 0) continue;
        const std::string path = std::string("/sys/kernel/debug/pinctrl/") + e->d_name + "/" + name;
        const int f = open(path.c_str(), O_RDONLY);
        char buf[4096];
        for (ssize_t n; f >= 0 && (n = read(f, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
        if (f >= 0) close(f);
    }
    if (d != nullptr) closedir(d);
    return out;
}

int pinmux()
{
    namespace pads = hx::pads;
    const int f = open("/dev/mem", O_RDONLY | O_SYNC);
    void* m = mmap(nullptr, 0x1000, PROT_READ, MAP_SHARED, f, pads::control_module);
    close(f);
    if (m == MAP_FAILED) {
        result("pinmux-registers", false, std::string("can't map the pad registers: ") + std::strerror(errno));
        return 1;
    }
    const volatile uint32_t* module = static_cast<const volatile uint32_t*>(m);
    auto reg = [&](int offset) { return module[offset / 4]; };
    int fails = 0, right = 0;
    std::string wrong;
    for (const auto& s : pads::signals) {
        if ((reg(s.offset) & 0x7f) == s.value) ++right;
        else wrong.append(" ").append(s.what).append(" ").append(hex(reg(s.offset)));
    }
    result("pinmux-registers", wrong.empty(),
           std::to_string(right) + " of " + std::to_string(pads::signal_count) +
               " signals' pad registers (/dev/mem) at the pad table's value" + (wrong.empty() ? "" : ":" + wrong));
    fails += !wrong.empty();
    // debugfs: "pin N (PINN) [gpio ]ADDRESS VALUE pinctrl-single", each as its register.
    const std::string pins = pinctrl_file("pins");
    int shown = 0, same = 0;
    for (size_t at = 0; (at = pins.find("44e1", at)) != std::string::npos; ++at) {
        unsigned address = 0, value = 0;
        if (std::sscanf(pins.c_str() + at, "%x %x pinctrl-single", &address, &value) != 2) continue;
        ++shown;
        same += value == reg(static_cast<int>(address - pads::control_module));
    }
    bool ok = shown == pads::pad_count && same == shown;
    result("pinmux-debugfs", ok, std::to_string(shown) + " pads in debugfs' pins, " + std::to_string(same) +
                                     " as their registers hold them");
    fails += !ok;
    // The cores' and the eQEP units' pads: owned by their device, which the kernel muxed
    // when it bound the driver ("pin 14 (PIN14): 4a334000.pru (GPIO UNCLAIMED) function ...").
    const std::string owners = pinctrl_file("pinmux-pins");
    int owned = 0, bound = 0;
    std::string stray;
    for (const auto& s : pads::signals) {
        const bool core = s.unit == 0x4a334000 || s.unit == 0x4a338000;
        const bool eqep = s.unit >= 0x48300180 && s.unit <= 0x48304180;
        if (!core && !eqep) continue;
        ++bound;
        char want[96];
        std::snprintf(want, sizeof want, "pin %d (PIN%d): %x.%s ", (s.offset - pads::first_pad) / 4,
                      (s.offset - pads::first_pad) / 4, s.unit, core ? "pru" : "counter");
        if (owners.find(want) != std::string::npos) ++owned;
        else stray.append(" ").append(s.what);
    }
    ok = owned == bound;
    result("pinmux-owners", ok, std::to_string(owned) + " of " + std::to_string(bound) +
                                    " PRU and eQEP pads owned by the device that uses them" +
                                    (stray.empty() ? "" : ", not:" + stray));
    fails += !ok;
    return fails != 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!map_registers()) {
        std::printf("RESULT registers FAIL can't map the units' registers through /dev/mem: %s\n", std::strerror(errno));
        return 1;
    }
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "eqep") return eqep();
    if (what == "fwquad" && argc > 3) return fwquad(argv[2], argv[3]);
    if (what == "servo" && argc > 3) return servo(argv[2], argv[3]);
    if (what == "calibration" && argc > 4) return calibration(argv[2], argv[3], argv[4]);
    if (what == "kill9" && argc > 4) return kill9(argv[2], argv[3], argv[4]);
    if (what == "pinmux") return pinmux();
    if (what == "users" && argc > 4) return users(argv[2], argv[3], argv[4]);
    std::fprintf(stderr, "usage: boardcheck eqep | fwquad FIFO STATUS | servo STATUS R30 | calibration PROGRAM STATUS R30 | "
                         "kill9 ROBOT STATUS R30 | pinmux | users FIFO STATUS R30\n");
    return 2;
}
