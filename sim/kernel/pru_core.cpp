#include "pru_core.h"

#include <bit>
#include <cstdio>
#include <cstring>

namespace pru {

// ---- The wheel -----------------------------------------------------------------------------

uint32_t wheel::inputs() const
{
    // Gray order of (A, B) as the wheel moves up: 00, 10, 11, 01.
    const int p = static_cast<int>(((position % 4) + 4) % 4);
    const uint32_t a = p == 1 || p == 2, b = p >= 2;
    return a << pin_a | b << pin_b;
}

void wheel::reschedule()
{
    if (!walk.empty()) {
        next = walk.front().at;
    } else if (rate != 0) {
        const uint64_t r = static_cast<uint64_t>(rate < 0 ? -rate : rate);
        const uint64_t done = static_cast<uint64_t>(position - rate_base) * (rate < 0 ? -1 : 1);
        next = rate_from + ((done + 1) * hz + r - 1) / r;
    } else {
        next = never;
    }
}

void wheel::advance(uint64_t cycle)
{
    while (next <= cycle) {
        if (!walk.empty()) {
            position += walk.front().by;
            walk.pop_front();
        } else {
            position += rate < 0 ? -1 : 1;
        }
        ++changes;
        reschedule();
    }
}

void wheel::set_rate(int64_t edges_per_second, uint64_t now)
{
    walk.clear();
    rate = edges_per_second;
    rate_from = now;
    rate_base = position;
    reschedule();
}

void wheel::add_walk(const std::string& steps, uint64_t spacing, uint64_t now)
{
    rate = 0;
    uint64_t at = walk.empty() ? now : walk.back().at;
    for (const char s : steps) {
        const int by = s == '+' ? 1 : s == '-' ? -1 : s == '2' ? 2 : s == '=' ? -2 : 0;
        if (by == 0) continue;
        at += spacing;
        walk.push_back({at, by});
    }
    reschedule();
}

void core::reset(uint32_t start_pc)
{
    for (auto& d : decoded) d.valid = false;
    pc = start_pc;
    state = run_state::running;
    fault.clear();
}

// ---- The interpreter -----------------------------------------------------------------------

namespace {

static_assert(std::endian::native == std::endian::little, "bursts copy the register file as PRU memory lays it out");

// Register fields by their 3-bit selector: .b0-.b3, .w0 (15..0), .w1 (23..8), .w2
// (31..16), the whole register.
constexpr unsigned shift_of[8] = {0, 8, 16, 24, 0, 8, 16, 0};
constexpr uint32_t mask_of[8] = {0xff, 0xff, 0xff, 0xff, 0xffff, 0xffff, 0xffff, 0xffffffff};
constexpr unsigned width_of[8] = {8, 8, 8, 8, 16, 16, 16, 32};

inline unsigned bits(uint32_t i, unsigned at, unsigned n) { return (i >> at) & ((1u << n) - 1); }

// A quick branch's signed 10-bit offset, in instructions from the branch itself.
inline int branch_offset(uint32_t i)
{
    const int off = static_cast<int>(bits(i, 25, 2) << 8 | bits(i, 0, 8));
    return off >= 512 ? off - 1024 : off;
}

using kind = decoded_insn::kind_t;

// The fields of instruction word i, by its format (the GNU assembler's opcode table).
decoded_insn decode(uint32_t i)
{
    decoded_insn d;
    d.raw = i;
    d.valid = true;
    d.rd = static_cast<uint8_t>(bits(i, 0, 5));
    d.rd_sel = static_cast<uint8_t>(bits(i, 5, 3));
    d.rs1 = static_cast<uint8_t>(bits(i, 8, 5));
    d.rs1_sel = static_cast<uint8_t>(bits(i, 13, 3));
    d.imm = bits(i, 24, 1) != 0;
    d.rs2 = static_cast<uint8_t>(bits(i, 16, 5));
    d.rs2_sel = static_cast<uint8_t>(bits(i, 21, 3));
    d.value = bits(i, 16, 8);
    d.offset = static_cast<int16_t>(branch_offset(i));
    switch (i >> 29) {
    case 0:
        d.kind = kind::alu;
        d.op = static_cast<uint8_t>(bits(i, 25, 4));
        break;
    case 1:
        d.op = static_cast<uint8_t>(bits(i, 25, 4));
        d.kind = d.op <= 1 ? kind::jump : d.op == 2 ? kind::ldi : d.op == 3 ? kind::lmbd : d.op == 5 ? kind::halt
                                                                                                    : kind::bad;
        d.value = d.kind == kind::lmbd ? bits(i, 16, 8) : bits(i, 8, 16);  // LMBD keeps op2's immediate
        break;
    case 2:
    case 3:
        d.op = static_cast<uint8_t>(bits(i, 27, 3));
        d.kind = d.op == 0 ? kind::bad : kind::branch;
        break;
    case 6:
        d.op = static_cast<uint8_t>(bits(i, 27, 2));
        d.kind = d.op == 1 || d.op == 2 ? kind::bit_branch : kind::bad;
        break;
    case 4:
    case 7: {
        d.kind = (i >> 29) == 4 ? kind::memory_constant : kind::memory;
        d.op = static_cast<uint8_t>(bits(i, 28, 1));  // a load
        d.len_code = static_cast<uint8_t>(bits(i, 25, 3) << 4 | bits(i, 13, 3) << 1 | bits(i, 7, 1));
        d.first = static_cast<uint8_t>(bits(i, 0, 5) * 4 + bits(i, 5, 2));
        break;
    }
    default:
        d.kind = kind::bad;
        break;
    }
    const bool to_rd = d.kind == kind::alu || d.kind == kind::ldi || d.kind == kind::lmbd || (d.kind == kind::jump && d.op == 1);
    const bool loads = (d.kind == kind::memory || d.kind == kind::memory_constant) && d.op != 0;
    d.writes_r30 = (to_rd && d.rd == 30) || loads;  // (a burst's reach depends on r0)
    return d;
}

struct exec {
    core& c;
    uint32_t r31;  // the inputs now

    uint32_t get(unsigned n, unsigned sel) const
    {
        const uint32_t v = n == 31 ? r31 : c.reg[n];
        return sel == 7 ? v : (v >> shift_of[sel]) & mask_of[sel];
    }
    // R31 writes raise system events on a board: not modelled, nothing kept.
    void put(unsigned n, unsigned sel, uint32_t v)
    {
        if (n == 31) return;
        if (sel == 7) {
            c.reg[n] = v;
            return;
        }
        const uint32_t m = mask_of[sel] << shift_of[sel];
        c.reg[n] = (c.reg[n] & ~m) | ((v << shift_of[sel]) & m);
    }
    // The second operand of formats 1, 2, 4, 5: an 8-bit immediate or a register field.
    uint32_t op2(const decoded_insn& d) const { return d.imm ? d.value : get(d.rs2, d.rs2_sel); }
    uint32_t rs1(const decoded_insn& d) const { return get(d.rs1, d.rs1_sel); }

    void stop(const std::string& why)
    {
        c.state = run_state::fault;
        c.fault = why;
    }
    void not_modelled(uint32_t at, uint32_t raw)
    {
        char h[9];
        std::snprintf(h, sizeof h, "%08x", raw);
        stop("instruction " + std::to_string(at) + " (0x" + h + ") is not modelled");
    }

    void alu(const decoded_insn& d);
    void format2(const decoded_insn& d);
    bool memory(const decoded_insn& d);
    bool control(bool load, uint32_t offset, uint32_t len, unsigned first);
};

// CYCLE as it reads at cycle at.
uint32_t cycle_register(const core& c, uint64_t at)
{
    if ((*c.ctrl & ctrl_counting) == 0) return c.cycle_count;
    const uint64_t v = c.cycle_count + (at - c.counting_from);
    return v > 0xffffffffu ? 0xffffffffu : static_cast<uint32_t>(v);
}

// The core's own CTRL (word 0) and CYCLE (word 3), a word at a time.
bool exec::control(bool load, uint32_t offset, uint32_t len, unsigned first)
{
    if (len != 4 || first % 4 != 0 || (offset != 0 && offset != 0xc)) {
        char what[64];
        std::snprintf(what, sizeof what, "control register 0x%x (%u bytes) is not modelled", offset, len);
        stop(what);
        return false;
    }
    uint32_t& r = c.reg[first / 4];
    const uint64_t start = c.cycle - 1 - c.memory_latency;  // this instruction's first cycle
    const uint64_t end = c.cycle + 1 + (len + 3) / 4;       // the next one's
    if (load) {
        r = offset == 0 ? *c.ctrl : cycle_register(c, start);
    } else if (offset == 0) {
        const uint32_t was = *c.ctrl;
        if ((was & ctrl_counting) != 0 && (r & ctrl_counting) == 0) c.cycle_count = cycle_register(c, start);
        if ((was & ctrl_counting) == 0 && (r & ctrl_counting) != 0) c.counting_from = end;
        *c.ctrl = r;
        if ((r & ctrl_enable) == 0) c.state = run_state::halted;  // the core disabled itself
    } else if ((*c.ctrl & ctrl_counting) == 0) {
        c.cycle_count = r;
    }
    ++c.effects;
    ++c.accesses;
    c.cycle = end;
    ++c.pc;
    return true;
}

void exec::alu(const decoded_insn& d)
{
    const uint64_t a = rs1(d), b = op2(d);
    const uint64_t cin = c.carry ? 1 : 0;
    uint64_t r = 0;
    bool sets_carry = true;
    switch (d.op) {
    case 0: r = a + b; break;
    case 1: r = a + b + cin; break;
    case 2: r = a - b; break;
    case 3: r = a - b - cin; break;
    case 4: r = a << (b & 31); sets_carry = false; break;
    case 5: r = a >> (b & 31); sets_carry = false; break;
    case 6: r = b - a; break;
    case 7: r = b - a - cin; break;
    case 8: r = a & b; sets_carry = false; break;
    case 9: r = a | b; sets_carry = false; break;
    case 10: r = a ^ b; sets_carry = false; break;
    case 11: r = ~a; sets_carry = false; break;
    case 12: r = a < b ? a : b; sets_carry = false; break;
    case 13: r = a > b ? a : b; sets_carry = false; break;
    case 14: r = a & ~(uint64_t{1} << (b & 31)); sets_carry = false; break;
    default: r = a | (uint64_t{1} << (b & 31)); sets_carry = false; break;
    }
    // Operands are zero-extended; the carry (or borrow) is the bit just above the
    // destination field.
    if (sets_carry) c.carry = (r >> width_of[d.rd_sel]) & 1;
    put(d.rd, d.rd_sel, static_cast<uint32_t>(r));
    ++c.pc;
}

void exec::format2(const decoded_insn& d)
{
    switch (d.kind) {
    case kind::jump: {  // JMP, JAL
        const uint32_t to = d.imm ? d.value : get(d.rs2, d.rs2_sel) & 0xffff;
        if (d.op == 1) put(d.rd, d.rd_sel, c.pc + 1);
        c.pc = to;
        return;
    }
    case kind::ldi:
        put(d.rd, d.rd_sel, d.value);
        break;
    case kind::lmbd: {  // the leftmost bit equal to the operand's bit 0, 32 if none
        const uint32_t v = rs1(d), want = op2(d) & 1;
        uint32_t at = 32;
        for (int b = 31; b >= 0; --b)
            if (((v >> b) & 1) == want) {
                at = static_cast<uint32_t>(b);
                break;
            }
        put(d.rd, d.rd_sel, at);
        break;
    }
    default:  // HALT
        c.state = run_state::halted;
        return;
    }
    ++c.pc;
}

// LBBO/SBBO (base register) and LBCO/SBCO (constant table): a burst of 1-124 bytes, or
// as many as r0.bN says, between memory and the register file from rd's byte on.
bool exec::memory(const decoded_insn& d)
{
    const bool load = d.op != 0;
    const uint32_t len = d.len_code < 124 ? d.len_code + 1u : (c.reg[0] >> (8 * (d.len_code - 124))) & 0xff;
    const unsigned first = d.first;
    uint32_t base = 0;
    if (d.kind == kind::memory_constant) {
        // The entries that need no set-up: this core's data RAM and the other's.
        if (d.rs1 == 24) base = 0;
        else if (d.rs1 == 25) base = other_dram;
        else {
            stop("constant table entry C" + std::to_string(d.rs1) + " is not modelled");
            return false;
        }
    } else {
        base = c.reg[d.rs1];
    }
    const uint32_t addr = base + op2(d);
    if (first + len > 128) {
        stop("a burst past r31");
        return false;
    }
    c.cycle += c.memory_latency;
    const uint32_t own_ctrl = 0x22000 + 0x2000 * static_cast<uint32_t>(c.index);
    if (addr - own_ctrl < 0x400) return control(load, addr - own_ctrl, len, first);
    volatile uint8_t* shared = nullptr;
    uint8_t* local = nullptr;
    if (addr + len <= dram_bytes && addr + len >= addr) local = c.dram + addr;
    else if (addr >= other_dram && addr + len <= other_dram + dram_bytes) local = c.dram_other + (addr - other_dram);
    else if (addr >= shared_base && addr + len <= shared_base + shared_bytes) shared = c.shared + (addr - shared_base);
    if ((local == nullptr && shared == nullptr) || (local != nullptr && c.dram == nullptr)) {
        char where[16];
        std::snprintf(where, sizeof where, "0x%08x", addr);
        stop(std::string(load ? "load from " : "store to ") + where + " outside the modelled memories");
        return false;
    }
    auto* file = reinterpret_cast<uint8_t*>(c.reg) + first;  // the register file as bytes, little-endian
    const bool past_r30 = first + len > 31 * 4;              // r31's bytes keep nothing
    if (local != nullptr && !past_r30) {
        if (load) {
            std::memcpy(file, local, len);
        } else {
            c.effects += std::memcmp(local, file, len) != 0;
            std::memcpy(local, file, len);
        }
    } else if (shared != nullptr && len == 4 && addr % 4 == 0 && first % 4 == 0) {
        // One bus word, as the host sees it: never torn.
        auto* w = const_cast<uint32_t*>(reinterpret_cast<volatile uint32_t*>(shared));
        if (load) {
            c.reg[first / 4] = first / 4 == 31 ? c.reg[31] : __atomic_load_n(w, __ATOMIC_RELAXED);
        } else {
            c.effects += __atomic_exchange_n(w, c.reg[first / 4], __ATOMIC_RELAXED) != c.reg[first / 4];
        }
    } else {
        for (uint32_t k = 0; k < len; ++k) {
            if (load) {
                if (first + k < 31 * 4) file[k] = shared != nullptr ? shared[k] : local[k];
                continue;
            }
            if (shared != nullptr) {
                c.effects += shared[k] != file[k];
                shared[k] = file[k];
            } else {
                c.effects += local[k] != file[k];
                local[k] = file[k];
            }
        }
    }
    if (shared != nullptr && !load) ++c.shared_stores;
    ++c.accesses;
    c.cycle += 1 + (len + 3) / 4;  // plus the instruction's own cycle
    ++c.pc;
    return true;
}

// A loop that came back to the same instruction with every register as before, nothing
// changed since (no store that changed memory, no change of R30, no control register)
// and the same inputs runs the same way until the inputs change, or the host writes
// the memory it reads.
struct steady {
    bool valid = false;
    uint32_t pc = 0;
    uint32_t reg[32] = {};
    bool carry = false;
    uint64_t cycle = 0, executed = 0, skipped = 0, effects = 0, changes = 0;
};

// `sub rX, rX, 1` on a whole register.
bool is_decrement(const decoded_insn& d, unsigned reg)
{
    return d.kind == kind::alu && d.op == 2 && d.imm && d.value == 1 && d.rd == reg && d.rs1 == reg && d.rd_sel == 7 &&
           d.rs1_sel == 7;
}

// A taken `qbne back, rX, 0` right after `back: sub rX, rX, 1` (the delay every cycle-
// counted firmware has) goes round rX more times, two cycles a round: done at once, as
// far as until allows. True when it was.
bool count_down(core& c, const decoded_insn& d, uint32_t at, uint64_t until)
{
    const unsigned reg = d.rs1;
    if (d.op != 5 || !d.imm || d.value != 0 || d.rs1_sel != 7 || reg >= 30 || d.offset != -1) return false;
    const decoded_insn& back = c.decoded[at - 1];
    if (!back.valid || !is_decrement(back, reg)) return false;
    const uint64_t rounds = c.reg[reg];
    const uint64_t room = until > c.cycle ? (until - c.cycle) / 2 : 0;
    const uint64_t n = rounds < room ? rounds : room;
    if (n == 0) return false;
    c.reg[reg] -= static_cast<uint32_t>(n);
    c.carry = false;  // 1 - 1 borrows nothing
    c.cycle += 2 * n;
    c.skipped += 2 * n;
    c.pc = c.reg[reg] == 0 ? at + 1 : at - 1;
    return true;
}

}  // namespace

void run(core& c, wheel& w, uint64_t until)
{
    steady s;
    exec x{c, w.inputs()};
    while (c.state == run_state::running && c.cycle < until) {
        if (c.cycle >= w.next) {
            w.advance(c.cycle);
            x.r31 = w.inputs();
        }
        if (c.pc >= iram_bytes / 4) {
            x.stop("program counter " + std::to_string(c.pc) + " outside IRAM");
            break;
        }
        const uint32_t at = c.pc;
        // IRAM is decoded once a word after each reset.
        decoded_insn& d = c.decoded[at];
        if (!d.valid) d = decode(c.iram[at]);
        const uint64_t started = c.cycle;
        ++c.executed;
        ++c.cycle;
        bool taken = false;
        switch (d.kind) {
        case kind::alu: x.alu(d); break;
        case kind::jump: x.format2(d); taken = true; break;
        case kind::ldi:
        case kind::lmbd:
        case kind::halt: x.format2(d); break;
        case kind::branch: {  // QBGT .. QBA: compares the operand with the register
            const uint32_t a = x.rs1(d), b = x.op2(d);
            const bool go = ((d.op & 4) && b > a) || ((d.op & 2) && b == a) || ((d.op & 1) && b < a);
            if (go && c.fast_forward && at > 0 && count_down(c, d, at, until)) {
                taken = c.pc < at;
            } else if (go) {
                c.pc = static_cast<uint32_t>(static_cast<int>(c.pc) + d.offset);
                taken = true;
            } else {
                ++c.pc;
            }
            break;
        }
        case kind::bit_branch: {  // QBBS, QBBC
            const bool set = (x.rs1(d) >> (x.op2(d) & 31)) & 1;
            if ((d.op == 2) == set) {
                c.pc = static_cast<uint32_t>(static_cast<int>(c.pc) + d.offset);
                taken = true;
            } else {
                ++c.pc;
            }
            break;
        }
        case kind::memory:
        case kind::memory_constant: x.memory(d); break;
        case kind::bad:
            if ((d.raw >> 29) == 1) x.not_modelled(at, d.raw);
            else x.stop("instruction " + std::to_string(at) + " is not modelled");
            break;
        }
        if (d.writes_r30 && c.reg[30] != c.r30_seen) {
            c.r30_seen = c.reg[30];
            ++c.effects;
            if (c.log_r30) c.r30_log.push_back({started, c.reg[30]});
        }
        if (!taken || c.pc > at || !c.fast_forward || c.state != run_state::running) continue;
        if (s.valid && s.pc == c.pc && s.effects == c.effects && s.changes == w.changes && s.carry == c.carry &&
            std::memcmp(s.reg, c.reg, sizeof s.reg) == 0) {
            const uint64_t len = c.cycle - s.cycle;
            const uint64_t limit = until < w.next ? until : w.next;
            if (len > 0 && limit > c.cycle && (limit - c.cycle) / len >= 2) {
                // Whole iterations that end before the inputs change.
                const uint64_t k = (limit - c.cycle) / len - 1;
                c.cycle += k * len;
                c.skipped += k * (c.executed - s.executed + c.skipped - s.skipped);
            }
        }
        s.valid = true;
        s.pc = c.pc;
        std::memcpy(s.reg, c.reg, sizeof s.reg);
        s.carry = c.carry;
        s.cycle = c.cycle;
        s.executed = c.executed;
        s.skipped = c.skipped;
        s.effects = c.effects;
        s.changes = w.changes;
    }
}

}  // namespace pru
