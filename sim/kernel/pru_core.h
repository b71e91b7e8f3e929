// A PRU core model: an interpreter of the PRU instructions (formats 1, 2, 4, 5 and 6 of
// the GNU assembler's opcode table, meanings as TI's PRU instruction guide gives them),
// running on the core's own clock of 200 MHz, with R31's direct inputs driven by a
// quadrature wheel in that same time and the data memories of the core's local view:
// its data RAM at 0x0, the other core's at 0x2000 and the shared RAM at 0x10000, and
// its own control registers (PRU0's at 0x22000, PRU1's at 0x24000): CTRL and the cycle
// counter CYCLE. R30 drives the core's outputs: every change is recorded with its
// cycle.
//
// Timing: one cycle an instruction; LBBO/SBBO/LBCO/SBCO take 2 cycles plus one a word
// moved, plus memory_latency (a board's real memory latencies are not known here).
// CYCLE counts while CTRL's counter enable (bit 3) is set, stands at 0xffffffff, and
// takes a write only while it stands; a read gives the count at the instruction's
// start. Not modelled: LOOP, XFR, SCAN, SLP, interrupts, the constant table beyond
// C24/C25, the other control registers; a core that meets one stops with a fault that
// says which.
#ifndef HX_SIM_PRU_CORE_H
#define HX_SIM_PRU_CORE_H

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

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

// The interpreter's decode of an IRAM word, kept with the core and done again when the
// word changes.
struct decoded_insn {
    enum class kind_t : uint8_t { bad, alu, jump, ldi, lmbd, halt, branch, bit_branch, memory, memory_constant };
    uint32_t raw = 0;
    bool valid = false;
    kind_t kind = kind_t::bad;
    uint8_t op = 0;  // the ALU operation, format 2's, the comparison, the bit test, or "a load"
    uint8_t rd = 0, rd_sel = 0, rs1 = 0, rs1_sel = 0, rs2 = 0, rs2_sel = 0;
    bool imm = false;     // the second operand is value
    bool writes_r30 = false;
    uint8_t len_code = 0, first = 0;  // a burst's length code and first register byte
    int16_t offset = 0;   // a quick branch's, in instructions
    uint32_t value = 0;   // an immediate: 8 bits, or LDI's and JMP's 16
};

// A change of R30: the cycle of the instruction that wrote it, and the new value.
struct r30_change {
    uint64_t cycle;
    uint32_t value;
};

constexpr uint32_t ctrl_enable = 1u << 1;   // CTRL: the core runs
constexpr uint32_t ctrl_counting = 1u << 3; // CTRL: CYCLE counts

struct core {
    int index = 0;            // PRU0 or PRU1: which control registers are its own
    uint32_t reg[32] = {};
    bool carry = false;
    uint32_t pc = 0;          // in instructions
    uint64_t cycle = 0;
    run_state state = run_state::running;
    std::string fault;        // why the core stopped, when it faulted
    uint32_t iram[iram_bytes / 4] = {};
    decoded_insn decoded[iram_bytes / 4] = {};
    uint8_t* dram = nullptr;        // its own data RAM (dram_bytes)
    uint8_t* dram_other = nullptr;  // the other core's (dram_bytes)
    volatile uint8_t* shared = nullptr;  // the shared RAM (shared_bytes), seen by the host too
    volatile uint32_t* ctrl = &own_ctrl;   // its CTRL register (a board's, where there is one)
    uint32_t own_ctrl = ctrl_enable;
    uint32_t cycle_count = 0;              // CYCLE as it stood when it last stopped
    uint64_t counting_from = 0;            // the cycle it started counting at
    uint32_t memory_latency = 0;           // cycles every memory access takes besides the model's
    // What it did: instructions executed, instructions a steady loop was fast-forwarded
    // by, memory accesses, stores into the shared RAM, and what could change what the
    // next round of a loop does (stores that changed memory, R30's changes, control
    // register accesses).
    uint64_t executed = 0, skipped = 0, accesses = 0, shared_stores = 0, effects = 0;
    // Skip the rounds of a loop that came back to where it was with nothing changed
    // (waiting on R31, or on memory the host writes: skipped up to the end of a run, so
    // a host's store is seen at the latest there), and count down a `sub rX, rX, 1;
    // qbne back, rX, 0` delay at once.
    bool fast_forward = true;
    bool log_r30 = false;          // record R30's changes in r30_log
    uint32_t r30_seen = 0;
    std::vector<r30_change> r30_log;

    // Start at instruction pc with the registers as they were (and IRAM as it is now:
    // call it after writing IRAM).
    void reset(uint32_t start_pc);
};

// Run until the core's clock reaches until (or passes it by less than one
// instruction), or the core stops. R31 reads see w's inputs at each cycle.
void run(core& c, wheel& w, uint64_t until);

}  // namespace pru

#endif
