// The PRU cores of the simulated board and the firmware images they run. The simulated
// kernel loads images from its firmware directory as each generation's loader does and
// runs them on the PRU core model; channel 4's encoder is wired to PRU core 0's inputs,
// the servo header to core 1's R30. boot() fills the directory with the shipped encoder
// and servo images and the cores' defaults (an image that runs and never touches
// memory).
#ifndef HX_SIM_FIRMWARE_H
#define HX_SIM_FIRMWARE_H

#include <cstdint>
#include <string>
#include <vector>

namespace firmware {

// The simulated kernel's firmware directory (its firmware_class.path).
constexpr const char* dir = "/dev/firmware";

// Where the kernel's loader looks for an image, as the library's messages list them:
// the simulated kernel's directory, then /lib/firmware/updates/<release> and the rest.
std::string search_text();

// Whether this build has the PRU images; if not, why and what to do, in one line.
bool built();
const char* not_built();

// Put an image under name in the directory: "encoder" or "servo" (the shipped images),
// "silent" (runs, never clears a handshake word), "at-0x20000000" (the encoder linked at the GNU
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

// ---- The servo header on core 1 ------------------------------------------------------

// R30 of a core as the simulated kernel recorded it: the cycle and the new value of
// every change, in order.
struct r30_change {
    uint64_t cycle;
    uint32_t value;
};
std::vector<r30_change> r30(int core = 1);
// Servo channel 1..8's R30 bit, as the board wires the header.
constexpr int servo_bit[9] = {-1, 8, 10, 9, 11, 6, 7, 4, 5};
// The pulses of servo channel ch in a record: rise and fall cycles (fall 0 while high).
struct pulse {
    uint64_t rise, fall;
    uint64_t width() const { return fall - rise; }
};
std::vector<pulse> pulses(const std::vector<r30_change>& record, int ch);
// R30 bits outside the servo header's (4-11) that a record ever set.
uint32_t foreign_bits(const std::vector<r30_change>& record);
// How many requests the servo firmware has taken (its protocol's word, read from the
// /dev/mem stand-in).
uint32_t servo_taken();
// How many the host has written: the highest request number in the ring (the program
// that wrote them may be gone).
uint32_t servo_written();
// Wait until core 1 is stopped (it sends nothing more), or the servo firmware has taken
// n requests, R30 is low and the core has run 25 ms more of its own time (past the
// longest pulse); false if that took 10 s of real time.
bool servo_settle(uint32_t n);

}  // namespace firmware

#endif
