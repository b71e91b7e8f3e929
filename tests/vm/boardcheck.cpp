// boardcheck: the guest's side of the board VM, where the kernel's own AM335x PWM
// drivers run on registers that are guest RAM. It drives the library and the programs
// and reads the registers back through /dev/mem, printing one "RESULT name PASS|FAIL"
// line a check with the register values and what they mean.
//
//   boardcheck outputs            hx_servo_init finds the eight outputs by address; each
//                                 channel's pulse gives the period and width asked
//   boardcheck calibration PATH   hx_throttle_cal with its Enters played: full, then
//                                 minimum throttle, then every output low, none exported
//   boardcheck guardian HOW ROBOT a robot pulsing every output ends by HOW (kill9, int,
//                                 term-all, stall): every output low within 100 ms
//   boardcheck eqep               hwquad on the counter subsystem's ti-eqep: QPOSMAX,
//                                 QEPCTL, QPOSCNT after init; counts moved in QPOSCNT
//                                 read back, writes land there
//   boardcheck fwquad FIFO STATUS channel 4 through the real pru_rproc, with prurun
//                                 running the core: handshake, walks, a write, cleanup
//
// Register offsets and meanings: the AM335x TRM (eHRPWM TBCTL 0x00, TBPRD 0x0a, CMPA
// 0x12, CMPB 0x14, AQCSFRC 0x1c; eCAP CAP1 0x08, CAP2 0x0c, CAP3 0x10, CAP4 0x14, ECCTL2
// 0x2a). The clock is the tree's 100 MHz.
#include <hx/fwquad.h>
#include <hx/hwquad.h>
#include <hx/servo.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr uint32_t pwmss = 0x48300000;
constexpr long long fck_ns = 10;  // 100 MHz
volatile uint8_t* regs = nullptr;

uint16_t r16(uint32_t addr) { return *reinterpret_cast<volatile uint16_t*>(regs + (addr - pwmss)); }
uint32_t r32(uint32_t addr) { return *reinterpret_cast<volatile uint32_t*>(regs + (addr - pwmss)); }

bool map_registers()
{
    const int f = open("/dev/mem", O_RDWR | O_SYNC);
    if (f < 0) return false;
    void* m = mmap(nullptr, 0x6000, PROT_READ | PROT_WRITE, MAP_SHARED, f, pwmss);
    close(f);
    if (m == MAP_FAILED) return false;
    regs = static_cast<volatile uint8_t*>(m);
    return true;
}

long long now_us()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

uint32_t ehrpwm(int ch) { return 0x48300200 + static_cast<uint32_t>((ch - 1) / 2) * 0x2000; }
uint32_t ecap(int ch) { return 0x48300100 + static_cast<uint32_t>(ch - 7) * 0x2000; }

// What channel ch's registers say: period and width in ns, the tick, and the values.
struct reading {
    long long period_ns = 0, width_ns = 0, tick_ns = 0;
    bool low = false;  // forced low (eHRPWM) or stopped (eCAP)
    char regs[96] = {};
};

reading read_channel(int ch)
{
    reading r;
    if (ch <= 6) {
        const uint32_t b = ehrpwm(ch);
        const uint16_t tbctl = r16(b), tbprd = r16(b + 0x0a), cmp = r16(b + ((ch - 1) % 2 ? 0x14 : 0x12));
        const uint16_t csfrc = r16(b + 0x1c);
        const int hsp = (tbctl >> 7) & 7;
        const long long prescale = (1LL << ((tbctl >> 10) & 7)) * (hsp == 0 ? 1 : 2 * hsp);
        r.tick_ns = prescale * fck_ns;
        r.period_ns = tbprd * r.tick_ns;
        r.width_ns = cmp * r.tick_ns;
        r.low = ((csfrc >> ((ch - 1) % 2 ? 2 : 0)) & 3) == 1;
        std::snprintf(r.regs, sizeof r.regs, "TBCTL 0x%04x TBPRD 0x%04x %s 0x%04x AQCSFRC 0x%04x", tbctl, tbprd,
                      (ch - 1) % 2 ? "CMPB" : "CMPA", cmp, csfrc);
    } else {
        const uint32_t b = ecap(ch);
        const uint32_t cap1 = r32(b + 0x08), cap2 = r32(b + 0x0c), cap3 = r32(b + 0x10), cap4 = r32(b + 0x14);
        const uint16_t ecctl2 = r16(b + 0x2a);
        r.tick_ns = fck_ns;
        // A change while the output runs goes to the shadows CAP3/CAP4 (the chip copies
        // them at the period's end; RAM never does).
        r.period_ns = (cap3 != 0 ? cap3 : cap1) * fck_ns;
        r.width_ns = (cap4 != 0 ? cap4 : cap2) * fck_ns;
        r.low = (ecctl2 & 0x10) == 0;  // TSCTRSTOP clear: the counter stopped
        std::snprintf(r.regs, sizeof r.regs, "CAP1 0x%x CAP2 0x%x CAP3 0x%x CAP4 0x%x ECCTL2 0x%04x", cap1, cap2, cap3,
                      cap4, ecctl2);
    }
    return r;
}

bool near(long long got, long long want, long long tick) { return got >= want - tick && got <= want + tick; }

void result(const char* name, bool pass, const std::string& detail)
{
    std::printf("RESULT %s %s %s\n", name, pass ? "PASS" : "FAIL", detail.c_str());
    std::fflush(stdout);
}

// The PWM class's exported outputs, as "pwmchipN/pwmK" words.
std::string exported()
{
    std::string s;
    DIR* d = opendir("/sys/class/pwm");
    if (d == nullptr) return s;
    while (dirent* e = readdir(d)) {
        if (std::strncmp(e->d_name, "pwmchip", 7) != 0) continue;
        const std::string chip = std::string("/sys/class/pwm/") + e->d_name;
        if (DIR* c = opendir(chip.c_str())) {
            while (dirent* o = readdir(c))
                if (std::strncmp(o->d_name, "pwm", 3) == 0 && std::strncmp(o->d_name, "pwmchip", 7) != 0)
                    s += std::string(e->d_name) + "/" + o->d_name + " ";
            closedir(c);
        }
    }
    closedir(d);
    return s;
}

int outputs()
{
    if (hx_servo_init() != 0) {
        result("pwm-init", false, "hx_servo_init failed");
        return 1;
    }
    std::atomic<bool> on{true};
    std::thread pulses([&] {
        while (on) {
            for (int ch = 1; ch <= 8; ++ch) hx_servo_send_pulse_us(ch, 1000 + 100 * ch);
            usleep(10000);
        }
    });
    usleep(100000);
    std::printf("exported: %s\n", exported().c_str());
    int fails = 0;
    for (int ch = 1; ch <= 8; ++ch) {
        const reading r = read_channel(ch);
        const long long want = (1000LL + 100 * ch) * 1000;
        const bool ok = near(r.period_ns, 20000000, r.tick_ns) && near(r.width_ns, want, r.tick_ns);
        char name[16], detail[200];
        std::snprintf(name, sizeof name, "pwm-ch%d", ch);
        std::snprintf(detail, sizeof detail, "%s: period %lld ns, width %lld ns (asked 20000000, %lld; tick %lld ns)",
                      r.regs, r.period_ns, r.width_ns, want, r.tick_ns);
        result(name, ok, detail);
        fails += !ok;
    }
    on = false;
    pulses.join();
    hx_servo_cleanup();
    return fails != 0;
}

// Every channel low (or stopped), and the time it took.
bool all_low(std::string& what)
{
    what.clear();
    bool low = true;
    for (int ch = 1; ch <= 8; ++ch) {
        const reading r = read_channel(ch);
        if (!r.low) {
            low = false;
            what += "ch" + std::to_string(ch) + " " + r.regs + "; ";
        }
    }
    return low;
}

// A program on a pseudo-terminal, as a person runs it (its output line-buffered).
struct session {
    pid_t pid = -1;
    int master = -1;
    std::string seen;  // everything it printed so far
};

session start(const char* program, const char* a1 = nullptr, const char* a2 = nullptr)
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
        execl(program, program, a1, a2, static_cast<char*>(nullptr));
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

// Polls channel 1 until its width is want us, up to limit_ms.
bool width_is(int ch, long long want_us, int limit_ms, reading& r)
{
    const long long end = now_us() + limit_ms * 1000LL;
    do {
        r = read_channel(ch);
        if (near(r.width_ns, want_us * 1000, r.tick_ns) && !r.low) return true;
        usleep(1000);
    } while (now_us() < end);
    return false;
}

int calibration(const char* program)
{
    session s = start(program);
    const pid_t pid = s.pid;
    reading r;
    int fails = 0;
    const bool asked = wait_for(s, "press enter to start", 10000);
    (void)!write(s.master, "\n", 1);
    const bool full = asked && width_is(1, 2000, 2000, r);
    std::string d = std::string(r.regs) + ": width " + std::to_string(r.width_ns) + " ns, period " +
                    std::to_string(r.period_ns) + " ns";
    result("calibration-full", full, d);
    fails += !full;
    wait_for(s, "Press enter again after the ESCs finish", 5000);
    (void)!write(s.master, "\n", 1);
    const bool minimum = width_is(1, 1000, 2000, r);
    d = std::string(r.regs) + ": width " + std::to_string(r.width_ns) + " ns, period " + std::to_string(r.period_ns) + " ns";
    result("calibration-minimum", minimum, d);
    fails += !minimum;
    wait_for(s, "Press enter again after the ESCs chirp", 5000);
    (void)!write(s.master, "\n", 1);
    int status = 0;
    waitpid(pid, &status, 0);
    std::string what;
    const bool low = all_low(what);
    const std::string left = exported();
    const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && low && left.empty();
    result("calibration-end", ok,
           "exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
               (low ? ", every output low" : ", not low: " + what) + (left.empty() ? ", nothing exported" : ", left: " + left));
    fails += !ok;
    close(s.master);
    return fails != 0;
}

// The guardian's pid, found by its name.
pid_t guardian()
{
    DIR* d = opendir("/proc");
    pid_t found = -1;
    while (dirent* e = readdir(d)) {
        char path[300], name[32] = {};
        std::snprintf(path, sizeof path, "/proc/%s/comm", e->d_name);
        const int f = open(path, O_RDONLY);
        if (f < 0) continue;
        const ssize_t n = read(f, name, sizeof name - 1);
        close(f);
        if (n > 0 && std::strncmp(name, "hx-servo-guard", 14) == 0) found = std::atoi(e->d_name);
    }
    closedir(d);
    return found;
}

int guardian_check(const std::string& how, const char* robot)
{
    session s = start(robot, "0", "stay");  // a session of its own: its pid is its group
    const pid_t pid = s.pid;
    reading r;
    const bool ready = wait_for(s, "ready", 10000) && width_is(1, 1500, 2000, r);
    const pid_t guard = guardian();
    long long t0 = now_us();
    if (how == "kill9") kill(pid, SIGKILL);
    else if (how == "int") kill(pid, SIGINT);
    else if (how == "stall") kill(pid, SIGSTOP);
    else {  // every process of the program, the guardian too, as a service manager does
        kill(-pid, SIGTERM);
        if (guard > 0) kill(guard, SIGTERM);
    }
    // Every output low, polled each millisecond; the bound is the guardian's promise.
    std::string what;
    long long low_after = -1;
    while (now_us() - t0 < 2000000) {
        if (all_low(what)) {
            low_after = now_us() - t0;
            break;
        }
        usleep(1000);
    }
    if (how == "stall") kill(pid, SIGKILL), kill(pid, SIGCONT);
    waitpid(pid, nullptr, 0);
    char name[32];
    std::snprintf(name, sizeof name, "guardian-%s", how.c_str());
    const bool ok = ready && low_after >= 0 && low_after <= 100000;
    result(name, ok,
           !ready ? "the robot did not start pulsing: " + s.seen
           : low_after < 0 ? "outputs still running 2 s later: " + what
                           : "every output low " + std::to_string(low_after / 1000) + "." +
                                 std::to_string(low_after / 100 % 10) + " ms after the signal (guardian pid " +
                                 std::to_string(guard) + ")");
    // The guardian releases what the service exported once the outputs are stopped.
    const long long end = now_us() + 1000000;
    while (!exported().empty() && now_us() < end) usleep(10000);
    close(s.master);
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

}  // namespace

int main(int argc, char** argv)
{
    if (!map_registers()) {
        std::printf("RESULT registers FAIL can't map 0x%x through /dev/mem: %s\n", pwmss, std::strerror(errno));
        return 1;
    }
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "outputs") return outputs();
    if (what == "calibration" && argc > 2) return calibration(argv[2]);
    if (what == "guardian" && argc > 3) return guardian_check(argv[2], argv[3]);
    if (what == "eqep") return eqep();
    if (what == "fwquad" && argc > 3) return fwquad(argv[2], argv[3]);
    std::fprintf(stderr, "usage: boardcheck outputs | calibration PROGRAM | guardian kill9|int|term-all|stall ROBOT | "
                         "eqep | fwquad FIFO STATUS\n");
    return 2;
}
