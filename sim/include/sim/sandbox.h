// The board sandbox: a private mount namespace in which the files the board's kernel
// would offer stand at their real paths. /sys is either the simulated kernel (a FUSE
// filesystem answering as the drivers of a chosen kernel generation do) or plain tmpfs
// files for tests that need texts no driver writes; /dev is tmpfs with a few real nodes
// bound back, a sparse /dev/mem and pseudo-terminals for the UARTs. The library runs its
// real code against them; nothing outside the namespace is touched.
#ifndef HX_SIM_SANDBOX_H
#define HX_SIM_SANDBOX_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sandbox {

// Enter a new mount namespace (inside a new user namespace when not root), make every
// mount private, and lay fresh tmpfs over /sys and /dev. Must run while the process
// has one thread. Returns false with the reason when the kernel does not allow it.
bool enter(std::string* why);
bool entered();

// Throw away everything built so far, the simulated kernel included: fresh /sys and
// /dev (with null, zero, full, urandom and fuse bound back and a private devpts).
void reset();

// ---- The simulated kernel --------------------------------------------------------------

// Whether the simulated kernel can be started here; if not, why and what to do. The
// board build's tests start the PC build's, found at configure time.
bool simulated_kernel(std::string* why);
// The kernel generations modelled: vendor 4.x, vendor 5.10+ and mainline boards ("none"
// alone where there is no simulated kernel, so that each suite says why it skips).
const std::vector<std::string>& profiles();
// Lay the simulated kernel of a profile (one of profiles(), or "bare": a kernel without
// any of the board's devices) over /sys, with /dev/mem and PRU cores that run the
// images in firmware::dir (sim/firmware.h; their outputs' record is there too).
// Aborts with a message when it cannot.
void boot(const std::string& profile);
// Steer the model with one command (see sim/kernel/board.cpp): turn a wheel, inject a
// fault, remove a device, set the firmware's behaviour. steer aborts on refusal;
// try_steer returns 0 or the errno.
void steer(const std::string& command);
int try_steer(const std::string& command);
// The sysfs directory of a device below a class or bus directory, found by the
// library's own rule (name, device link, own link): e.g. ("/sys/class/remoteproc",
// "4a334000.pru"). "" if none.
std::string find_device(const std::string& class_dir, const std::string& device);

// ---- Plain files -------------------------------------------------------------------------

// Paths are absolute and parents are created as needed.
void put(const std::string& path, std::string_view content);
std::string get(const std::string& path);
void make_dir(const std::string& path);
void remove(const std::string& path);
void make_fifo(const std::string& path);
// Bind src over dst (dst is created as a file if missing), optionally read-only.
void bind(const std::string& src, const std::string& dst, bool read_only = false);

// The vendor 4.x eQEP attributes as plain files: `enabled` "0\n" and `position` "0\n"
// for channels 1 to 3, holding whatever a test writes.
void add_eqep();
std::string eqep_enabled(int ch);
std::string eqep_position(int ch);
// Channel ch's unit as newer kernels offer it instead: no legacy attributes, a counter
// device /sys/bus/counter/devices/counter0 named "4830x180.counter" (plain files, 0).
void eqep_as_counter(int ch);

// A sparse file at /dev/mem reaching past the PRU shared RAM, and the test's own
// mappings of that RAM (12 KiB) and of a core's data RAM (8 KiB), seen by the library
// and the PRU cores through the same file.
void add_dev_mem();
volatile uint32_t* pru_shared_ram();
volatile uint32_t* pru_data_ram(int core);

// A pseudo-terminal whose slave stands at /dev/ttyS<bus>. With echo, a thread sends
// back everything written to the bus (RX wired to TX); without it the line is silent.
// Returns the master descriptor, owned by the sandbox until reset().
int add_serial(int bus, bool echo);
// The far end of /dev/ttyS<bus> goes away (the master closes): the line hangs up.
void hang_up(int bus);

}  // namespace sandbox

#endif
