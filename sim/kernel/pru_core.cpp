#include "pru_core.h"

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
    pc = start_pc;
    state = run_state::running;
    fault.clear();
}

// ---- The interpreter -----------------------------------------------------------------------

namespace {

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

struct exec {
    core& c;
    uint32_t r31;  // the inputs now

    uint32_t get(unsigned n, unsigned sel) const
    {
        const uint32_t v = n == 31 ? r31 : c.reg[n];
        return (v >> shift_of[sel]) & mask_of[sel];
    }
    // R31 writes raise system events on a board: not modelled, nothing kept.
    void put(unsigned n, unsigned sel, uint32_t v)
    {
        if (n == 31) return;
        const uint32_t m = mask_of[sel] << shift_of[sel];
        c.reg[n] = (c.reg[n] & ~m) | ((v << shift_of[sel]) & m);
    }
    // The second operand of formats 1, 2, 4, 5: an 8-bit immediate or a register field.
    uint32_t op2(uint32_t i) const { return bits(i, 24, 1) ? bits(i, 16, 8) : get(bits(i, 16, 5), bits(i, 21, 3)); }
    uint32_t rs1(uint32_t i) const { return get(bits(i, 8, 5), bits(i, 13, 3)); }

    void stop(const std::string& why)
    {
        c.state = run_state::fault;
        c.fault = why;
    }

    void alu(uint32_t i);
    void format2(uint32_t i);
    bool memory(uint32_t i, bool constant);
};

void exec::alu(uint32_t i)
{
    const unsigned rd = bits(i, 0, 5), sel = bits(i, 5, 3);
    const uint64_t a = rs1(i), b = op2(i);
    const uint64_t cin = c.carry ? 1 : 0;
    uint64_t r = 0;
    bool sets_carry = true;
    switch (bits(i, 25, 4)) {
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
    if (sets_carry) c.carry = (r >> width_of[sel]) & 1;
    put(rd, sel, static_cast<uint32_t>(r));
    ++c.pc;
}

void exec::format2(uint32_t i)
{
    const unsigned rd = bits(i, 0, 5), sel = bits(i, 5, 3);
    switch (bits(i, 25, 4)) {
    case 0:  // JMP
    case 1:  // JAL
    {
        const uint32_t to = bits(i, 24, 1) ? bits(i, 8, 16) : get(bits(i, 16, 5), bits(i, 21, 3)) & 0xffff;
        if (bits(i, 25, 4) == 1) put(rd, sel, c.pc + 1);
        c.pc = to;
        return;
    }
    case 2:  // LDI
        put(rd, sel, bits(i, 8, 16));
        break;
    case 3:  // LMBD: the leftmost bit equal to the operand's bit 0, 32 if none
    {
        const uint32_t v = rs1(i), want = op2(i) & 1;
        uint32_t at = 32;
        for (int b = 31; b >= 0; --b)
            if (((v >> b) & 1) == want) {
                at = static_cast<uint32_t>(b);
                break;
            }
        put(rd, sel, at);
        break;
    }
    case 5:  // HALT
        c.state = run_state::halted;
        return;
    default:
        stop("instruction " + std::to_string(c.pc) + " (0x" + [i] {
            char h[9];
            std::snprintf(h, sizeof h, "%08x", i);
            return std::string(h);
        }() + ") is not modelled");
        return;
    }
    ++c.pc;
}

// LBBO/SBBO (base register) and LBCO/SBCO (constant table): a burst of 1-124 bytes, or
// as many as r0.bN says, between memory and the register file from rd's byte on.
bool exec::memory(uint32_t i, bool constant)
{
    const bool load = bits(i, 28, 1);
    const unsigned code = bits(i, 25, 3) << 4 | bits(i, 13, 3) << 1 | bits(i, 7, 1);
    const uint32_t len = code < 124 ? code + 1 : (c.reg[0] >> (8 * (code - 124))) & 0xff;
    const unsigned first = bits(i, 0, 5) * 4 + bits(i, 5, 2);
    uint32_t base = 0;
    if (constant) {
        const unsigned entry = bits(i, 8, 5);
        // The entries that need no set-up: this core's data RAM and the other's.
        if (entry == 24) base = 0;
        else if (entry == 25) base = other_dram;
        else {
            stop("constant table entry C" + std::to_string(entry) + " is not modelled");
            return false;
        }
    } else {
        base = c.reg[bits(i, 8, 5)];
    }
    const uint32_t addr = base + op2(i);
    if (first + len > 128) {
        stop("a burst past r31");
        return false;
    }
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
    auto reg_byte = [&](unsigned k) { return static_cast<uint8_t>(c.reg[k / 4] >> (8 * (k % 4))); };
    auto set_reg_byte = [&](unsigned k, uint8_t v) {
        if (k / 4 == 31) return;
        c.reg[k / 4] = (c.reg[k / 4] & ~(0xffu << (8 * (k % 4)))) | uint32_t{v} << (8 * (k % 4));
    };
    if (shared != nullptr && len == 4 && addr % 4 == 0 && first % 4 == 0) {
        // One bus word, as the host sees it: never torn.
        auto* w = const_cast<uint32_t*>(reinterpret_cast<volatile uint32_t*>(shared));
        if (load) c.reg[first / 4] = first / 4 == 31 ? c.reg[31] : __atomic_load_n(w, __ATOMIC_RELAXED);
        else __atomic_store_n(w, c.reg[first / 4], __ATOMIC_RELAXED);
    } else {
        for (uint32_t k = 0; k < len; ++k) {
            if (load) set_reg_byte(first + k, shared != nullptr ? shared[k] : local[k]);
            else if (shared != nullptr) shared[k] = reg_byte(first + k);
            else local[k] = reg_byte(first + k);
        }
    }
    if (shared != nullptr && !load) ++c.shared_stores;
    ++c.accesses;
    c.cycle += 1 + (len + 3) / 4;  // plus the instruction's own cycle
    ++c.pc;
    return true;
}

// A loop that came back to the same instruction with every register as before, no
// memory access since and the same inputs is waiting on R31: it runs the same way until
// the inputs change.
struct steady {
    bool valid = false;
    uint32_t pc = 0;
    uint32_t reg[32] = {};
    bool carry = false;
    uint64_t cycle = 0, executed = 0, accesses = 0, changes = 0;
};

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
        const uint32_t i = c.iram[c.pc];
        const uint32_t at = c.pc;
        ++c.executed;
        ++c.cycle;
        bool taken = false;
        switch (i >> 29) {
        case 0: x.alu(i); break;
        case 1: x.format2(i); taken = bits(i, 25, 4) <= 1; break;
        case 2:
        case 3: {  // QBGT .. QBA: compares the operand with the register
            const uint32_t a = x.rs1(i), b = x.op2(i);
            const unsigned cmp = bits(i, 27, 3);
            const bool go = ((cmp & 4) && b > a) || ((cmp & 2) && b == a) || ((cmp & 1) && b < a);
            if (cmp == 0) {
                x.stop("instruction " + std::to_string(at) + " is not modelled");
                break;
            }
            if (go) {
                c.pc = static_cast<uint32_t>(static_cast<int>(c.pc) + branch_offset(i));
                taken = true;
            } else {
                ++c.pc;
            }
            break;
        }
        case 6: {  // QBBS, QBBC
            const unsigned how = bits(i, 27, 2);
            const bool set = (x.rs1(i) >> (x.op2(i) & 31)) & 1;
            if (how != 2 && how != 1) {
                x.stop("instruction " + std::to_string(at) + " is not modelled");
                break;
            }
            if ((how == 2) == set) {
                c.pc = static_cast<uint32_t>(static_cast<int>(c.pc) + branch_offset(i));
                taken = true;
            } else {
                ++c.pc;
            }
            break;
        }
        case 7: x.memory(i, false); break;
        case 4: x.memory(i, true); break;
        default: x.stop("instruction " + std::to_string(at) + " is not modelled"); break;
        }
        if (!taken || c.pc > at || !c.fast_forward || c.state != run_state::running) continue;
        if (s.valid && s.pc == c.pc && s.accesses == c.accesses && s.changes == w.changes && s.carry == c.carry &&
            std::memcmp(s.reg, c.reg, sizeof s.reg) == 0) {
            const uint64_t len = c.cycle - s.cycle;
            const uint64_t limit = until < w.next ? until : w.next;
            if (len > 0 && limit > c.cycle && (limit - c.cycle) / len >= 2) {
                // Whole iterations that end before the inputs change.
                const uint64_t k = (limit - c.cycle) / len - 1;
                c.cycle += k * len;
                c.skipped += k * (c.executed - s.executed);
            }
        }
        s.valid = true;
        s.pc = c.pc;
        std::memcpy(s.reg, c.reg, sizeof s.reg);
        s.carry = c.carry;
        s.cycle = c.cycle;
        s.executed = c.executed;
        s.accesses = c.accesses;
        s.changes = w.changes;
    }
}

}  // namespace pru
