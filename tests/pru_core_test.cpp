// The PRU core model on its own: each instruction as binutils encodes it against what
// TI's instruction guide says it does, the loaders' rules on images made byte by byte,
// the encoder firmware's counts with and without the fast-forward of waiting loops, and
// the servo firmware's pulses to the cycle, with requests placed at exact cycles.
#include <pru_core.h>
#include <pru_elf.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <elf.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <vector>

namespace {

std::vector<uint8_t> read_file(const char* path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// A core with its own memories, as core 0 sees them.
struct board {
    uint8_t dram[2][pru::dram_bytes] = {};
    uint32_t shared[pru::shared_bytes / 4] = {};
    pru::core core;
    pru::wheel wheel;
    board()
    {
        core.dram = dram[0];
        core.dram_other = dram[1];
        core.shared = reinterpret_cast<volatile uint8_t*>(shared);
    }
    uint32_t dram_word(uint32_t at) const
    {
        uint32_t v;
        std::memcpy(&v, dram[0] + at, 4);
        return v;
    }
};

#define REQUIRE_IMAGES()                                                                        \
    do {                                                                                        \
        if (*HX_ENCODER_IMAGE == '\0')                                                          \
            GTEST_SKIP() << "the PRU images are not built: run `sudo firmware/binutils.sh` once"; \
    } while (0)

// The servo firmware on core 1, and the host's side of its protocol (firmware/servo.s):
// requests written at exact cycles of the core's clock.
struct servo_board : board {
    uint32_t requests = 0;
    servo_board()
    {
        core.index = 1;
        core.dram = dram[1];
        core.dram_other = dram[0];
        core.log_r30 = true;
    }
    uint32_t word(int w) const
    {
        uint32_t v;
        std::memcpy(&v, dram[1] + 4 * w, 4);
        return v;
    }
    void put(int w, uint32_t v) { std::memcpy(dram[1] + 4 * w, &v, 4); }
    // Loaded and past the handshake; false if it never came.
    bool start(const std::vector<uint8_t>& image)
    {
        put(0, 42);
        std::string why;
        if (pru::load(image, {}, core, why) != 0) return false;
        pru::run(core, wheel, 10000);
        return word(0) == 0;
    }
    // At cycle at: one request, widths[c] us for channel c + 1 (0: not named).
    void request(uint64_t at, const std::array<uint16_t, 8>& widths)
    {
        pru::run(core, wheel, at);
        const int slot = 0x40 / 4 + static_cast<int>(requests % 16) * 8;
        for (int w = 0; w < 4; ++w) put(slot + 1 + w, widths[2 * w] | static_cast<uint32_t>(widths[2 * w + 1]) << 16);
        put(slot, ++requests);
    }
    std::vector<pru::r30_change> record() const { return core.r30_log; }
};

constexpr int servo_bit[9] = {-1, 8, 10, 9, 11, 6, 7, 4, 5};

// Channel ch's pulses in a record: (rise, fall) cycles.
std::vector<std::pair<uint64_t, uint64_t>> pulses(const std::vector<pru::r30_change>& record, int ch)
{
    const uint32_t bit = 1u << servo_bit[ch];
    std::vector<std::pair<uint64_t, uint64_t>> out;
    uint32_t was = 0;
    for (const auto& c : record) {
        if ((c.value & bit) && !(was & bit)) out.push_back({c.cycle, 0});
        if (!(c.value & bit) && (was & bit)) out.back().second = c.cycle;
        was = c.value;
    }
    return out;
}

TEST(PruCore, EveryInstructionDoesWhatTheGuideSaysAsBinutilsEncodesIt)
{
    REQUIRE_IMAGES();
    board b;
    std::string why;
    ASSERT_EQ(pru::load(read_file(HX_ISA_IMAGE), {}, b.core, why), 0) << why;
    b.core.log_r30 = true;
    b.wheel.position = 2;  // A and B high: R31 reads 0xc000
    pru::run(b.core, b.wheel, 100000);
    ASSERT_EQ(b.core.state, pru::run_state::halted) << b.core.fault;
    const struct {
        const char* what;
        uint32_t value;
    } expect[] = {
        {"ldi32", 0x89abcdef}, {"ldi .w2 keeps the rest", 0x1111cdef}, {"ldi .b1", 0x111122ef},
        {"ldi .w1 is bits 23..8", 0x113344ef}, {"add .b0 wraps in its field", 0x11334400},
        {"adc takes the carry out of .b0", 1}, {"add 32-bit", 0xfffffffe}, {"adc takes the carry out of bit 31", 6},
        {"sub below zero", 0xfffffffe}, {"suc takes the borrow", 3}, {"rsb", 15}, {"rsc without borrow", 15},
        {"rsc with borrow", 14}, {"lsl by a register, count modulo 32", 10}, {"lsr", 1},
        {"lsl into .w0 truncates", 0}, {"and with an immediate", 0x30}, {"or", 0xf0f0f0ff},
        {"xor with a .w1 operand", 0xf0f00000}, {"not", 0x0f0f0f0f}, {"not into .b3", 0xff0f0f0f}, {"min", 3},
        {"max", 200}, {"clr", 0xf0f0f0e0}, {"set, bit number modulo 32", 0xf0f0f0f2}, {"mov .w2 into .w1", 0x00800000},
        {"lmbd of a 1", 31}, {"lmbd of a 0", 27}, {"lmbd not found", 32},
        {"qbgt qbge qblt qble qbeq qbne qbbs qbbc (taken, not taken), qbgt on a register, qba", 0x35555},
        {"a backward branch, ten times round", 30}, {"call runs the subroutine", 0x77},
        {"call's return address is the next instruction", 0}, {"jmp to a register skips", 0},
        {"lbbo of 2 bytes into .b1", 0x00332200}, {"lbbo of r0.b0 bytes", 0x00887766},
        {"lbbo at a register offset", 0x88776655}, {"lbbo of 8 bytes fills two registers", 0},
        {"sbco C25 is the other core's data RAM at 0x2000", 0x88776655}, {"sbco C24 is this core's", 0x44332211},
        {"lbco C24", 0x44332211}, {"sbbo and lbbo on the shared RAM", 0x44332211}, {"r31 reads the inputs", 0xc000},
        {"r31.w1", 0xc0}, {"a write to r31 keeps nothing", 0xc000}, {"r30 is a register", 0x55},
        {"CTRL reads as the core was started: enabled", 2},
        {"with its counter enabled, CYCLE moves 3 over a word's read", 3},
        {"a write to CYCLE while it counts is not taken: 15 cycles on", 15},
        {"a write to CYCLE while it stands is", 1000}, {"and it stands there", 1000},
        {"it stands at 0xffffffff", 0xffffffff},
    };
    uint32_t at = 0x100;
    for (const auto& e : expect) {
        EXPECT_EQ(b.dram_word(at), e.value) << "result " << (at - 0x100) / 4 + 1 << ": " << e.what;
        at += 4;
    }
    EXPECT_EQ(b.shared[0x100 / 4], 0x44332211u);
    EXPECT_EQ(b.core.shared_stores, 1u);
    // R30 drives the outputs: its one change, recorded with the cycle it came in.
    ASSERT_EQ(b.core.r30_log.size(), 1u);
    EXPECT_EQ(b.core.r30_log[0].value, 0x55u);
    EXPECT_GT(b.core.r30_log[0].cycle, 0u);
    EXPECT_LT(b.core.r30_log[0].cycle, b.core.cycle);
}

// What the model does not run stops the core with a reason, never a guess.
TEST(PruCore, AnInstructionOrAddressNotModelledStopsTheCoreAndSaysWhich)
{
    const struct {
        uint32_t insn;
        uint32_t r0;
        const char* fault;
    } cases[] = {
        {0x3e000000, 0, "instruction 0 (0x3e000000) is not modelled"},          // SLP 0
        {0x91003c81, 0, "constant table entry C28 is not modelled"},            // LBCO &r1, 28, 0, 4
        {0xf1002081, 0x22004, "control register 0x4 (4 bytes) is not modelled"},     // LBBO &r1, r0, 0, 4
        {0xf1002081, 0x26000, "load from 0x00026000 outside the modelled memories"},
    };
    for (const auto& c : cases) {
        board b;
        b.core.iram[0] = c.insn;
        b.core.reg[0] = c.r0;
        b.core.reset(0);
        pru::run(b.core, b.wheel, 100);
        EXPECT_EQ(b.core.state, pru::run_state::fault) << std::hex << c.insn;
        EXPECT_EQ(b.core.fault, c.fault);
    }
}

// A minimal image: one program header, an optional section table naming a resource
// table.
struct elf_image {
    std::vector<uint8_t> bytes;
    Elf32_Ehdr& eh() { return *reinterpret_cast<Elf32_Ehdr*>(bytes.data()); }
    Elf32_Phdr& ph() { return *reinterpret_cast<Elf32_Phdr*>(bytes.data() + sizeof(Elf32_Ehdr)); }
};

elf_image make_image(uint32_t flags, uint32_t da, uint32_t filesz, uint32_t memsz)
{
    elf_image i;
    i.bytes.resize(sizeof(Elf32_Ehdr) + sizeof(Elf32_Phdr) + filesz);
    Elf32_Ehdr& e = i.eh();
    std::memcpy(e.e_ident, ELFMAG, SELFMAG);
    e.e_ident[EI_CLASS] = ELFCLASS32;
    e.e_ident[EI_DATA] = ELFDATA2LSB;
    e.e_type = ET_EXEC;
    e.e_machine = 144;  // EM_TI_PRU
    e.e_phoff = sizeof(Elf32_Ehdr);
    e.e_phnum = 1;
    e.e_phentsize = sizeof(Elf32_Phdr);
    Elf32_Phdr& p = i.ph();
    p.p_type = PT_LOAD;
    p.p_flags = flags;
    p.p_offset = sizeof(Elf32_Ehdr) + sizeof(Elf32_Phdr);
    p.p_paddr = p.p_vaddr = da;
    p.p_filesz = filesz;
    p.p_memsz = memsz;
    for (uint32_t k = 0; k < filesz; ++k) i.bytes[p.p_offset + k] = static_cast<uint8_t>(0xa0 + k);
    return i;
}

TEST(PruElf, SegmentsGoWhereTheirAddressSaysAndAnythingAmissIsRefusedLeavingTheCoreAsItWas)
{
    {
        // Data in the shared RAM, the rest of its memory size zeroed; the entry's word.
        board b;
        b.shared[0x10 / 4 + 1] = 0xffffffff;
        elf_image i = make_image(PF_R | PF_W, 0x10010, 4, 8);
        i.eh().e_entry = 0x40;
        std::string why;
        ASSERT_EQ(pru::load(i.bytes, {}, b.core, why), 0) << why;
        EXPECT_EQ(b.shared[0x10 / 4], 0xa3a2a1a0u);
        EXPECT_EQ(b.shared[0x10 / 4 + 1], 0u);
        EXPECT_EQ(b.core.pc, 0x10u);
        EXPECT_EQ(why, "no resource table found for this fw");
        // Vendor 4.x wants the table.
        EXPECT_EQ(pru::load(i.bytes, {.legacy = true}, b.core, why), -EINVAL);
        EXPECT_EQ(why, "Failed to find resource table");
    }
    const struct {
        const char* what;
        void (*spoil)(elf_image&);
        const char* why;
    } refused[] = {
        {"a file size above the memory size", [](elf_image& i) { i.ph().p_filesz = 64; }, "bad phdr filesz"},
        {"a segment past the file's end", [](elf_image& i) { i.ph().p_offset = 4096; }, "truncated fw"},
        {"no program header", [](elf_image& i) { i.eh().e_phnum = 0; }, "No loadable segments"},
        {"a 64-bit image", [](elf_image& i) { i.eh().e_ident[EI_CLASS] = ELFCLASS64; }, "Unsupported class"},
        {"a big-endian image", [](elf_image& i) { i.eh().e_ident[EI_DATA] = ELFDATA2MSB; },
         "Unsupported firmware endianness"},
        {"data between the data RAMs and the shared RAM", [](elf_image& i) { i.ph().p_paddr = 0x5000; },
         "bad phdr da 0x5000 mem 0x8"},
        {"section headers past the file's end", [](elf_image& i) { i.eh().e_shoff = 1u << 20; i.eh().e_shnum = 1; },
         "Image is corrupted (section headers)"},
    };
    for (const auto& r : refused) {
        board b;
        b.core.pc = 99;
        b.shared[0x10 / 4] = 7;
        elf_image i = make_image(PF_R | PF_W, 0x10010, 4, 8);
        r.spoil(i);
        std::string why;
        EXPECT_EQ(pru::load(i.bytes, {}, b.core, why), -EINVAL) << r.what;
        EXPECT_EQ(why, r.why) << r.what;
        EXPECT_EQ(b.shared[0x10 / 4], 7u) << r.what;
        EXPECT_EQ(b.core.pc, 99u) << r.what;
    }
}

// Fast-forwarding a loop that waits on R31 skips time, never behaviour: the encoder
// ends a random walk (steps of random spacing, some below the firmware's limit) in the
// same state either way.
TEST(PruCore, FastForwardOfAWaitingLoopChangesNothingButTheInstructionsRun)
{
    REQUIRE_IMAGES();
    const std::vector<uint8_t> image = read_file(HX_ENCODER_IMAGE);
    board with, without;
    without.core.fast_forward = false;
    std::mt19937 random(7);
    std::string why;
    for (board* b : {&with, &without}) ASSERT_EQ(pru::load(image, {}, b->core, why), 0) << why;
    for (int k = 0; k < 2000; ++k) {
        const std::string step(1, "+-+-2"[random() % 5]);
        const uint64_t spacing = 5 + random() % 400;
        for (board* b : {&with, &without}) b->wheel.add_walk(step, spacing, 0);
    }
    const uint64_t end = with.wheel.walk.back().at + 1000;
    for (board* b : {&with, &without}) pru::run(b->core, b->wheel, end);
    EXPECT_EQ(with.shared[16], without.shared[16]);
    EXPECT_EQ(with.dram_word(0), without.dram_word(0));  // missed states
    EXPECT_EQ(with.core.shared_stores, without.core.shared_stores);
    EXPECT_EQ(std::memcmp(with.core.reg, without.core.reg, sizeof with.core.reg), 0);
    EXPECT_EQ(with.core.pc, without.core.pc);
    EXPECT_GT(with.core.skipped, 0u);
    EXPECT_EQ(with.core.executed + with.core.skipped, without.core.executed);
}

// Requests at cycles chosen to fall anywhere in a tick, each naming some channels with
// its own widths: every named channel gives exactly one pulse of exactly its width (200
// cycles a microsecond), the channels of one request rise together within a tick of
// the request, and no R30 bit outside the header's is ever set.
TEST(ServoFirmware, EachRequestIsOnePulseOfExactlyItsWidthOnEveryChannelItNames)
{
    REQUIRE_IMAGES();
    servo_board b;
    ASSERT_TRUE(b.start(read_file(HX_SERVO_IMAGE))) << b.core.fault;
    EXPECT_EQ(b.word(3), 200u) << "a tick is 1 us";
    const struct {
        uint64_t at;
        std::array<uint16_t, 8> us;
    } script[] = {
        {20'000, {1500, 1500, 1500, 1500, 1500, 1500, 1500, 1500}},
        {420'001, {1, 0, 0, 0, 0, 0, 0, 19999}},
        {460'077, {0, 1000, 0, 2000, 0, 0, 1234, 0}},
        {1'000'199, {0, 0, 3, 0, 7, 65, 0, 0}},
        {4'500'150, {2000, 1999, 1998, 1997, 1996, 1995, 1994, 1993}},
    };
    for (const auto& r : script) b.request(r.at, r.us);
    pru::run(b.core, b.wheel, 8'000'000);
    ASSERT_EQ(b.core.state, pru::run_state::running) << b.core.fault;
    EXPECT_EQ(b.word(2), 5u) << "taken";
    const auto record = b.record();
    for (int ch = 1; ch <= 8; ++ch) {
        SCOPED_TRACE(ch);
        const auto p = pulses(record, ch);
        size_t k = 0;
        for (const auto& r : script) {
            const uint16_t us = r.us[static_cast<size_t>(ch - 1)];
            if (us == 0) continue;
            ASSERT_LT(k, p.size());
            EXPECT_EQ(p[k].second - p[k].first, 200u * us) << "request at " << r.at;
            // Taken at the first tick that reads it, which is at most one tick away.
            EXPECT_GE(p[k].first, r.at);
            EXPECT_LE(p[k].first, r.at + 400);
            // Every channel of the request rises in the same write.
            const int first = static_cast<int>(std::find_if(r.us.begin(), r.us.end(), [](uint16_t u) { return u != 0; }) -
                                               r.us.begin()) + 1;
            EXPECT_EQ(p[k].first, pulses(record, first)[0 + [&] {
                size_t n = 0;
                for (const auto& q : script) {
                    if (&q == &r) break;
                    n += q.us[static_cast<size_t>(first - 1)] != 0;
                }
                return n;
            }()].first);
            ++k;
        }
        EXPECT_EQ(k, p.size()) << "a pulse no request asked for";
    }
    for (const auto& c : record) EXPECT_EQ(c.value & ~0xff0u, 0u) << "R30 bit outside 4-11 at cycle " << c.cycle;
    EXPECT_EQ(record.back().value, 0u);
}

// A request for a channel whose pulse is still high waits until it is over, and one
// low tick more: never merged, never overlapping. Requests for other channels behind it
// in the ring wait too (the ring is taken in order). Servo 8's long pulse spans ticks of
// every kind (no request, a new one taken, one held, one taken once its turn came): its
// width, exact, says each tick is 200 cycles.
TEST(ServoFirmware, ARequestForAChannelStillHighFollowsItsPulseAfterOneLowTick)
{
    REQUIRE_IMAGES();
    servo_board b;
    ASSERT_TRUE(b.start(read_file(HX_SERVO_IMAGE))) << b.core.fault;
    b.request(10'000, {0, 0, 0, 0, 0, 0, 0, 19999});
    b.request(20'000, {2000, 0, 0, 0, 0, 0, 0, 0});
    b.request(20'100, {1000, 0, 0, 0, 0, 0, 0, 0});
    b.request(20'200, {1000, 0, 0, 0, 0, 0, 0, 0});
    pru::run(b.core, b.wheel, 5'000'000);
    ASSERT_EQ(pulses(b.record(), 8).size(), 1u);
    EXPECT_EQ(pulses(b.record(), 8)[0].second - pulses(b.record(), 8)[0].first, 19999u * 200);
    const auto p = pulses(b.record(), 1);
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0].second - p[0].first, 400'000u);
    EXPECT_EQ(p[1].first - p[0].second, 200u) << "one tick low between them";
    EXPECT_EQ(p[1].second - p[1].first, 200'000u);
    EXPECT_EQ(p[2].first - p[1].second, 200u);
    EXPECT_EQ(b.word(2), 4u);
}

// The tick is timed on the core's cycle counter at the start and padded to 200 cycles,
// so a data RAM slower than the model's leaves every width exact; a core too slow for a
// 1 us tick says so (the host then refuses it).
TEST(ServoFirmware, TheTickStays200CyclesWhateverTheMemoryLatency)
{
    REQUIRE_IMAGES();
    const std::vector<uint8_t> image = read_file(HX_SERVO_IMAGE);
    for (uint32_t latency : {0u, 1u, 3u, 10u}) {
        SCOPED_TRACE(latency);
        servo_board b;
        b.core.memory_latency = latency;
        ASSERT_TRUE(b.start(image)) << b.core.fault;
        EXPECT_EQ(b.word(3), 200u);
        b.request(30'011, {1500, 0, 0, 0, 0, 0, 0, 1});
        b.request(40'003, {0, 0, 0, 2, 0, 0, 0, 0});
        pru::run(b.core, b.wheel, 1'000'000);
        const auto record = b.record();
        ASSERT_EQ(pulses(record, 1).size(), 1u);
        EXPECT_EQ(pulses(record, 1)[0].second - pulses(record, 1)[0].first, 300'000u);
        EXPECT_EQ(pulses(record, 8)[0].second - pulses(record, 8)[0].first, 200u);
        EXPECT_EQ(pulses(record, 4)[0].second - pulses(record, 4)[0].first, 400u);
    }
    servo_board slow;
    slow.core.memory_latency = 60;
    ASSERT_TRUE(slow.start(image)) << slow.core.fault;
    EXPECT_GT(slow.word(3), 200u);
}

// The stop word: every output low within a tick, the answer, and the core halts.
TEST(ServoFirmware, AStopEndsEveryPulseAtOnceAndHaltsTheCoreWithEveryOutputLow)
{
    REQUIRE_IMAGES();
    servo_board b;
    ASSERT_TRUE(b.start(read_file(HX_SERVO_IMAGE))) << b.core.fault;
    b.request(20'000, {19999, 19999, 19999, 19999, 19999, 19999, 19999, 19999});
    b.request(20'001, {0, 0, 0, 0, 0, 0, 0, 5});
    pru::run(b.core, b.wheel, 100'000);
    EXPECT_EQ(b.core.reg[30], 0xff0u);
    b.put(1, 1);
    pru::run(b.core, b.wheel, 100'400);
    EXPECT_EQ(b.core.state, pru::run_state::halted) << b.core.fault;
    EXPECT_EQ(b.word(1), 2u) << "answered";
    EXPECT_EQ(b.core.reg[30], 0u);
    const auto record = b.record();
    EXPECT_LE(record.back().cycle, 100'200u);
    EXPECT_EQ(pulses(record, 8).size(), 1u) << "the request behind was never taken";
}

// Skipping the rounds of the idle loop and counting its delays down at once changes
// when nothing happens, never what does: the same record, words and registers.
TEST(ServoFirmware, FastForwardChangesNothingButTheInstructionsRun)
{
    REQUIRE_IMAGES();
    const std::vector<uint8_t> image = read_file(HX_SERVO_IMAGE);
    servo_board with, without;
    without.core.fast_forward = false;
    std::mt19937 random(11);
    for (servo_board* b : {&with, &without}) ASSERT_TRUE(b->start(image));
    uint64_t at = 20'000;
    for (int k = 0; k < 40; ++k) {
        std::array<uint16_t, 8> us{};
        for (auto& u : us) u = random() % 3 == 0 ? 0 : static_cast<uint16_t>(1 + random() % 2500);
        at += random() % 300'000;
        for (servo_board* b : {&with, &without}) b->request(at, us);
    }
    for (servo_board* b : {&with, &without}) pru::run(b->core, b->wheel, at + 1'000'000);
    const auto a = with.record(), z = without.record();
    ASSERT_EQ(a.size(), z.size());
    for (size_t k = 0; k < a.size(); ++k) {
        EXPECT_EQ(a[k].cycle, z[k].cycle) << k;
        EXPECT_EQ(a[k].value, z[k].value) << k;
    }
    EXPECT_EQ(with.word(2), without.word(2));
    EXPECT_EQ(std::memcmp(with.core.reg, without.core.reg, sizeof with.core.reg), 0);
    EXPECT_EQ(with.core.cycle, without.core.cycle);
    EXPECT_EQ(with.core.executed + with.core.skipped, without.core.executed);
    EXPECT_LT(with.core.executed, without.core.executed / 2);
}

}  // namespace
