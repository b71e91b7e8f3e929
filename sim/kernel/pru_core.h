// A PRU core model: an interpreter of the PRU instructions (formats 1, 2, 4, 5 and 6 of
// the GNU assembler's opcode table, meanings as TI's PRU instruction guide gives them),
// running on the core's own clock of 200 MHz, with R31's direct inputs driven by a
// quadrature wheel in that same time and the data memories of the core's local view:
// its data RAM at 0x0, the other core's at 0x2000 and the shared RAM at 0x10000.
//
// Timing: one cycle an instruction; LBBO/SBBO/LBCO/SBCO take 2 cycles plus one a word
// moved (a board's real memory latencies are not known here). Not modelled: LOOP, XFR,
// SCAN, SLP, interrupts, the constant table beyond C24/C25 and the control registers; a
// core that meets one stops with a fault that says which.
#ifndef HX_SIM_PRU_CORE_H
#define HX_SIM_PRU_CORE_H

#include <cstdint>
#include <deque>
#include <string>

namespace pru {

constexpr uint64_t hz = 200000000;
constexpr uint32_t iram_bytes = 0x2000;
constexpr uint32_t dram_bytes = 0x2000;
constexpr uint32_t other_dram = 0x2000;  // the other core's data RAM, as this core sees it
constexpr uint32_t shared_base = 0x10000;
constexpr uint32_t shared_bytes = 0x3000;
constexpr uint64_t never = UINT64_MAX;

// A quadrature encoder on two R31 inputs. Its position counts edges (x4); A leads B when
// it moves up. It turns at a steady rate, or walks a queue of steps at given cycles,
// which come first.
struct wheel {
    int pin_a = 14, pin_b = 15;
    int64_t position = 0;
    uint64_t changes = 0;     // edges so far: the inputs are the same while it stays
    int64_t rate = 0;         // edges a second, signed
    uint64_t rate_from = 0;   // the cycle the rate was set at, and the position then
    int64_t rate_base = 0;
    struct step { uint64_t at; int by; };
    std::deque<step> walk;    // by: +1, -1, or +/-2 (a state skipped: both inputs change)
    uint64_t next = never;    // the cycle of the next change

    uint32_t inputs() const;  // R31 bits for the position
    // Apply every change due at or before cycle.
    void advance(uint64_t cycle);
    void set_rate(int64_t edges_per_second, uint64_t now);
    // Steps ("+", "-", "2" forwards two states, "=" two backwards) every spacing cycles,
    // after whatever walk is already queued, the first one spacing after now.
    void add_walk(const std::string& steps, uint64_t spacing, uint64_t now);
    void reschedule();
};

enum class run_state : uint8_t { running, halted, fault };

struct core {
    uint32_t reg[32] = {};
    bool carry = false;
    uint32_t pc = 0;          // in instructions
    uint64_t cycle = 0;
    run_state state = run_state::running;
    std::string fault;        // why the core stopped, when it faulted
    uint32_t iram[iram_bytes / 4] = {};
    uint8_t* dram = nullptr;        // its own data RAM (dram_bytes)
    uint8_t* dram_other = nullptr;  // the other core's (dram_bytes)
    volatile uint8_t* shared = nullptr;  // the shared RAM (shared_bytes), seen by the host too
    // What it did: instructions executed, instructions a steady loop was fast-forwarded
    // by, memory accesses, stores into the shared RAM.
    uint64_t executed = 0, skipped = 0, accesses = 0, shared_stores = 0;
    bool fast_forward = true;  // skip the iterations of a loop that waits on R31

    // Start at instruction pc with the registers as they were.
    void reset(uint32_t start_pc);
};

// Run until the core's clock reaches until (or passes it by less than one
// instruction), or the core stops. R31 reads see w's inputs at each cycle.
void run(core& c, wheel& w, uint64_t until);

}  // namespace pru

#endif
