// The board sandbox: a private mount namespace in which tmpfs lies over /sys and /dev
// and the files the board's kernel would offer are built at their real paths. The
// library runs its real code against them; nothing outside the namespace is touched.
#ifndef HX_TEST_BOARD_SANDBOX_H
#define HX_TEST_BOARD_SANDBOX_H

#include <cstdint>
#include <string>
#include <string_view>

namespace sandbox {

// Enter a new mount namespace (inside a new user namespace when not root), make every
// mount private, and lay fresh tmpfs over /sys and /dev. Must run while the process
// has one thread. Returns false with the reason when the kernel does not allow it.
bool enter(std::string* why);
bool entered();

// Throw away everything built so far: fresh /sys and /dev (with null, zero, full,
// urandom bound back and a private devpts).
void reset();

// Files. Paths are absolute and parents are created as needed.
void put(const std::string& path, std::string_view content);
std::string get(const std::string& path);
void make_dir(const std::string& path);
void remove(const std::string& path);
void make_fifo(const std::string& path);
// Bind src over dst (dst is created as a file if missing), optionally read-only.
void bind(const std::string& src, const std::string& dst, bool read_only = false);

// The eQEP units: `enabled` "0\n" and `position` "0\n" for channels 1 to 3.
void add_eqep();
std::string eqep_enabled(int ch);
std::string eqep_position(int ch);

// remoteproc1 and remoteproc2 (PRU cores 0 and 1): `firmware` empty, `state` "offline".
void add_remoteproc();
std::string remoteproc_state(int core);
std::string remoteproc_firmware(int core);

// A sparse file at /dev/mem reaching past the PRU shared RAM, and the test's own
// mapping of that RAM (12 KiB), seen by the library through the same file.
void add_dev_mem();
volatile uint32_t* pru_shared_ram();

// pwmchip0 with pwm0..pwm(n-1) already exported: period, duty_cycle and enable "0".
void add_pwm(int n = 8);
std::string pwm_attr(int index, const char* attr);

// A pseudo-terminal whose slave stands at /dev/ttyS<bus>. With echo, a thread sends
// back everything written to the bus (RX wired to TX); without it the line is silent.
// Returns the master descriptor, owned by the sandbox until reset().
int add_serial(int bus, bool echo);

}  // namespace sandbox

// Skips the calling test when the sandbox could not be entered.
#define REQUIRE_SANDBOX()                                                         \
    do {                                                                          \
        if (!sandbox::entered()) GTEST_SKIP() << "no mount namespace available"; \
    } while (0)

#endif
