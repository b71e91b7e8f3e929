// Soak: many cycles of init, use, cleanup and failed inits of both encoder modules and
// the serial, servo, PRU and button services on the simulated kernel, then a check that
// the process holds what it held before: descriptors, memory mappings, threads, and no
// child left behind. A benchmark-style tool, not a timed test.
//
//   soak [CYCLES] [--kernel PROFILE]     (default 10000 cycles, mainline-6.12)
#include <hx/button.h>
#include <hx/fwquad.h>
#include <hx/hwquad.h>
#include <hx/pru.h>
#include <hx/serial.h>
#include <hx/servo.h>
#include <sim/firmware.h>
#include <sim/sandbox.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int count_entries(const char* dir)
{
    DIR* d = opendir(dir);
    int n = 0;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n - 3;  // ".", ".." and the directory's own descriptor
}

int count_lines(const char* path)
{
    std::ifstream in(path);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) ++n;
    return n;
}

int threads()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
    return -1;
}

struct holdings {
    int fds, maps, threads;
};
holdings now() { return {count_entries("/proc/self/fd"), count_lines("/proc/self/maps"), threads()}; }

// The counter device of an eQEP unit, or its legacy directory.
std::string unit_device(const char* unit)
{
    const std::string legacy = std::string("/sys/devices/platform/ocp/") + std::string(unit).substr(0, 5) +
                               "000.epwmss/" + unit + ".eqep";
    if (access(legacy.c_str(), F_OK) == 0) return legacy;
    for (int n = 0; n < 3; ++n) {
        const std::string dev = "/sys/bus/counter/devices/counter" + std::to_string(n);
        if (sandbox::get(dev + "/name") == std::string(unit) + ".counter\n") {
            char real[512];
            if (realpath(dev.c_str(), real) != nullptr) return real;
        }
    }
    return "";
}

int failures = 0;
void expect(bool ok, const char* what, long cycle)
{
    if (ok) return;
    ++failures;
    if (failures <= 10) std::printf("cycle %ld: %s\n", cycle, what);
}

}  // namespace

int main(int argc, char** argv)
{
    long cycles = 10000;
    std::string profile = "mainline-6.12";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--kernel") == 0 && i + 1 < argc) profile = argv[++i];
        else cycles = std::atol(argv[i]);
    }
    std::string why;
    if (!sandbox::enter(&why)) {
        std::fprintf(stderr, "soak needs a mount namespace (%s): run as root\n", why.c_str());
        return 1;
    }
    sandbox::boot(profile);
    sandbox::add_serial(1, true);
    const std::string unit1 = unit_device("48300180");
    const std::string enable1 = unit1 + (unit1.find(".eqep") != std::string::npos ? "/enabled" : "/count0/enable");

    // The failure rows print their reports: keep them off the table.
    std::fflush(stderr);
    const int saved_err = dup(2);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, 2);
    close(null);

    // One warm-up cycle maps what is mapped once per process (/dev/mem, the C library's
    // locale and stdio buffers) before the first count.
    const auto t0 = std::chrono::steady_clock::now();
    holdings before{};
    char buf[32];
    for (long c = -1; c < cycles; ++c) {
        if (c == 0) before = now();
        // Encoder channels 1-3, and each failure row.
        expect(hx_hwquad_init() == 0, "hwquad init", c);
        expect(hx_hwquad_write(2, static_cast<int>(c)) == 0 && hx_hwquad_read(2) == static_cast<int>(c), "hwquad rw", c);
        hx_hwquad_cleanup();
        sandbox::steer("fail " + enable1 + " write 22");
        expect(hx_hwquad_init() == -1, "hwquad enable failure", c);
        sandbox::steer("fail " + enable1 + " write 0");
        sandbox::steer("unplug " + unit1);
        expect(hx_hwquad_init() == -1, "hwquad open failure", c);
        sandbox::steer("replug " + unit1);
        hx_hwquad_cleanup();
        // Encoder channel 4, and a start the kernel refuses.
        expect(hx_fwquad_init() == 0 && hx_fwquad_write(-5) == 0 && hx_fwquad_read() == -5, "fwquad", c);
        hx_fwquad_cleanup();
        firmware::install("am335x-pru0-hx-encoder-fw", "absent");
        expect(hx_fwquad_init() == -1, "fwquad start failure", c);
        firmware::install("am335x-pru0-hx-encoder-fw", "encoder");
        hx_fwquad_cleanup();
        // Serial loopback, and a bus without a device.
        expect(hx_uart_init(1, 115200, 1.0f, 0, 1, 0) == 0, "serial init", c);
        expect(hx_uart_write(1, "Hello World", 11) == 11 && hx_uart_read_bytes(1, buf, 11) == 11, "serial echo", c);
        expect(hx_uart_flush(1) == 0 && hx_uart_close(1) == 0, "serial close", c);
        expect(hx_uart_init(2, 115200, 0.2f, 0, 1, 0) == -1, "serial missing bus", c);
        // The servo firmware on PRU core 1, and a start the kernel refuses.
        expect(hx_servo_init() == 0 && hx_servo_send_esc_pulse_normalized(0, 0.5) == 0, "servo", c);
        expect(hx_servo_cleanup() == 0, "servo cleanup", c);
        firmware::install("am335x-pru1-hx-servo-fw", "absent");
        expect(hx_servo_init() == -1, "servo start failure", c);
        firmware::install("am335x-pru1-hx-servo-fw", "servo");
        expect(hx_servo_cleanup() == 0, "servo cleanup after a failed start", c);
        // Buttons: this machine has no GPIO chip, so every init fails; cleanup repeats.
        expect(hx_button_init(2, 5, 1, 2000) == -1, "button init without a chip", c);
        hx_button_cleanup();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const holdings after = now();
    dup2(saved_err, 2);
    close(saved_err);
    int zombies = 0;
    while (waitpid(-1, nullptr, WNOHANG) > 0) ++zombies;

    std::printf("soak on %s: %ld cycles in %.1f s (%.2f ms a cycle)\n", profile.c_str(), cycles, seconds,
                1000 * seconds / static_cast<double>(cycles + 1));
    std::printf("%-22s %8s %8s\n", "held by the process", "before", "after");
    std::printf("%-22s %8d %8d\n", "descriptors", before.fds, after.fds);
    std::printf("%-22s %8d %8d\n", "memory mappings", before.maps, after.maps);
    std::printf("%-22s %8d %8d\n", "threads", before.threads, after.threads);
    std::printf("%-22s %8s %8d\n", "children left", "", zombies);
    std::printf("unexpected results: %d\n", failures);
    const bool same = before.fds == after.fds && before.maps == after.maps && before.threads == after.threads;
    return same && zombies == 0 && failures == 0 ? 0 : 1;
}
