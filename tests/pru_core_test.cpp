// The PRU core model on its own: each instruction as binutils encodes it against what
// TI's instruction guide says it does, the loaders' rules on images made byte by byte,
// and the encoder firmware's counts with and without the fast-forward of waiting loops.
#include <pru_core.h>
#include <pru_elf.h>

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

TEST(PruCore, EveryInstructionDoesWhatTheGuideSaysAsBinutilsEncodesIt)
{
    REQUIRE_IMAGES();
    board b;
    std::string why;
    ASSERT_EQ(pru::load(read_file(HX_ISA_IMAGE), {}, b.core, why), 0) << why;
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
    };
    uint32_t at = 0x100;
    for (const auto& e : expect) {
        EXPECT_EQ(b.dram_word(at), e.value) << "result " << (at - 0x100) / 4 + 1 << ": " << e.what;
        at += 4;
    }
    EXPECT_EQ(b.shared[0x100 / 4], 0x44332211u);
    EXPECT_EQ(b.core.shared_stores, 1u);
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
        {0xf1002081, 0x22000, "load from 0x00022000 outside the modelled memories"},  // LBBO &r1, r0, 0, 4
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

}  // namespace
