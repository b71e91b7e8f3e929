// The PRU cores of the simulated board and the firmware images they run. The simulated
// kernel loads images from its firmware directory as each generation's loader does and
// runs them on the PRU core model; channel 4's encoder is wired to PRU core 0's inputs.
// boot() fills the directory with the shipped encoder image and the cores' defaults (an
// image that runs and never touches memory).
#ifndef HX_SIM_FIRMWARE_H
#define HX_SIM_FIRMWARE_H

#include <cstdint>
#include <string>

namespace firmware {

// The simulated kernel's firmware directory (its firmware_class.path).
constexpr const char* dir = "/dev/firmware";

// Whether this build has the PRU images; if not, why and what to do, in one line.
bool built();
const char* not_built();

// Put an image under name in the directory: "encoder" (the shipped image), "silent"
// (runs, never clears the count word), "at-0x20000000" (the encoder linked at the GNU
// linker's IRAM offset), "no-table" (without a resource table), "too-big" (one
// instruction past IRAM), "garbage" (not an ELF file), or "absent" (no file).
void install(const std::string& name, const std::string& image);
// Fill the directory as boot() does.
void install_defaults();

// Channel 4's encoder turns at rate edges a second of the core's time (negative:
// backwards), or walks steps ("+", "-", "2" two states forwards at once, "=" two
// backwards) spacing core cycles apart after any walk queued.
void turn(long long rate);
void walk(const std::string& steps, uint64_t spacing = 200);
// Wait until the walk is done and core 0 has run 1000 cycles past it; false if that
// took 10 s of real time.
bool settle();
// The core's clock stops (the core starts late) or goes on.
void hold(int core = 0);
void release(int core = 0);

// A field of the simulated kernel's report on a core: "state" (remoteproc's), "firmware",
// "starts", "stops", "word-at-stop", "cycle", "executed", "skipped", "shared-stores",
// "position", "pending", "missed", "core" (running, halted, fault, stopped), "loader"
// (what the loader said at the last start, "-" for nothing) and "fault" (blanks as "_").
std::string report(const std::string& field, int core = 0);
int starts_seen(int core = 0);
int stops_seen(int core = 0);
uint32_t word_at_stop(int core = 0);
std::string state(int core = 0);

}  // namespace firmware

#endif
