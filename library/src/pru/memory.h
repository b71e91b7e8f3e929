// The PRU-ICSS memories the library uses, reached through this one function: the
// shared RAM (channel 4's count word, hx_pru_shared_mem_ptr) and PRU core 1's data RAM
// (the servo requests).
#ifndef HX_SRC_PRU_MEMORY_H
#define HX_SRC_PRU_MEMORY_H

#include <cstdint>

namespace hx::pru {

enum class region : int {
    shared,      // 12 KiB at 0x4A310000
    core1_data,  // 8 KiB at 0x4A302000
};

// The region, mapped on the first call and kept for the life of the process: later
// calls return the same pointer, which callers must not unmap. NULL, after one line on
// standard error naming who, when the kernel offers no PRU core that uses the region
// (the PRU subsystem's node is not enabled: its memory may then be unclocked, and
// nothing is mapped), or when the memory cannot be opened or mapped.
volatile uint32_t* memory(region r, const char* who);

}  // namespace hx::pru

#endif
