// The PRU encoder firmware as the simulated kernel emulates it. When PRU core 0 (or 1)
// is started with the encoder image, the emulator clears the count word in the PRU
// shared RAM (at once, after a delay, when told, or never) and then counts by a step
// every millisecond. A start of any other installed image runs without a handshake.
#ifndef HX_SIM_FIRMWARE_H
#define HX_SIM_FIRMWARE_H

#include <cstdint>
#include <string>

namespace firmware {

// "at-start" (cleared inside the start itself, the default), "never", "manual" (only
// on clear()), or "after MS".
void handshake(const std::string& how, int core = 0);
// Clear the count word now, when the encoder image runs.
void clear(int core = 0);
// Counts added every millisecond once the word is cleared (negative: backwards).
void set_step(int step, int core = 0);
// Install an image under name in /lib/firmware: "encoder", "other", "bad" (the kernel
// refuses it) or "absent".
void install(const std::string& name, const std::string& kind);
// Starts and stops of the core seen by the kernel, and its remoteproc state.
int starts_seen(int core = 0);
int stops_seen(int core = 0);
// What the count word held when the core was last stopped.
uint32_t word_at_stop(int core = 0);
std::string state(int core = 0);

}  // namespace firmware

#endif
