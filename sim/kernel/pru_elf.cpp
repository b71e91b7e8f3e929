#include "pru_elf.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <elf.h>

namespace pru {

namespace {

template <typename T>
bool read_at(const std::vector<uint8_t>& f, uint64_t off, T& out)
{
    if (off > f.size() || f.size() - off < sizeof out) return false;
    std::memcpy(&out, f.data() + off, sizeof out);
    return true;
}

int refuse(std::string& why, const std::string& complaint)
{
    why = complaint;
    return -EINVAL;
}

// The ".resource_table" section, found by name as remoteproc does; false when absent or
// not a table the kernel accepts (version 1, reserved words 0, its offsets inside it).
bool has_resource_table(const std::vector<uint8_t>& f, const Elf32_Ehdr& eh)
{
    Elf32_Shdr names{};
    if (eh.e_shstrndx >= eh.e_shnum || !read_at(f, eh.e_shoff + uint64_t{eh.e_shstrndx} * eh.e_shentsize, names))
        return false;
    for (unsigned k = 0; k < eh.e_shnum; ++k) {
        Elf32_Shdr sh{};
        if (!read_at(f, eh.e_shoff + uint64_t{k} * eh.e_shentsize, sh)) return false;
        const uint64_t name = uint64_t{names.sh_offset} + sh.sh_name;
        static const char want[] = ".resource_table";
        if (name + sizeof want > f.size() || std::memcmp(f.data() + name, want, sizeof want) != 0) continue;
        uint32_t head[4] = {};
        if (sh.sh_size < sizeof head || !read_at(f, sh.sh_offset, head)) return false;
        return head[0] == 1 && head[2] == 0 && head[3] == 0 && sizeof head + uint64_t{head[1]} * 4 <= sh.sh_size;
    }
    return false;
}

}  // namespace

int load(const std::vector<uint8_t>& f, const loader_rules& rules, core& c, std::string& why)
{
    Elf32_Ehdr eh{};
    if (!read_at(f, 0, eh)) return refuse(why, "Image is too small");
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0) return refuse(why, "Image is corrupted (bad magic)");
    if (eh.e_ident[EI_CLASS] != ELFCLASS32) return refuse(why, "Unsupported class");
    if (eh.e_ident[EI_DATA] != ELFDATA2LSB) return refuse(why, "Unsupported firmware endianness");
    if (eh.e_phnum == 0) return refuse(why, "No loadable segments");
    if (eh.e_phoff > f.size() || uint64_t{eh.e_phnum} * sizeof(Elf32_Phdr) > f.size() - eh.e_phoff)
        return refuse(why, "Firmware size is too small");
    if (eh.e_shoff > f.size() || uint64_t{eh.e_shnum} * eh.e_shentsize > f.size() - eh.e_shoff)
        return refuse(why, "Image is corrupted (section headers)");
    const bool table = has_resource_table(f, eh);
    if (rules.legacy && !table) return refuse(why, "Failed to find resource table");

    // Placed in copies first, so that a refused image leaves the core as it was.
    std::vector<uint8_t> iram(iram_bytes), dram(c.dram, c.dram + dram_bytes),
        other(c.dram_other, c.dram_other + dram_bytes), shared(shared_bytes);
    std::memcpy(iram.data(), c.iram, iram_bytes);
    std::vector<bool> shared_touched(shared_bytes);
    for (unsigned k = 0; k < eh.e_phnum; ++k) {
        Elf32_Phdr ph{};
        read_at(f, eh.e_phoff + uint64_t{k} * sizeof ph, ph);
        if (ph.p_type != PT_LOAD || ph.p_memsz == 0) continue;
        if (ph.p_filesz > ph.p_memsz) return refuse(why, "bad phdr filesz");
        if (ph.p_offset > f.size() || ph.p_filesz > f.size() - ph.p_offset) return refuse(why, "truncated fw");
        uint64_t da = ph.p_paddr;
        uint8_t* to = nullptr;
        if (ph.p_flags & PF_X) {
            // Mainline (and vendor 5.10+) strip the address bits above the PC's 18-bit
            // byte range; vendor 4.x takes the address as it is.
            if (!rules.legacy) da &= 0xfffff;
            if (da + ph.p_memsz <= iram_bytes) to = iram.data() + da;
        } else if (da + ph.p_memsz <= dram_bytes) {
            to = dram.data() + da;
        } else if (da >= other_dram && da + ph.p_memsz <= other_dram + dram_bytes) {
            to = other.data() + (da - other_dram);
        } else if (da >= shared_base && da + ph.p_memsz <= shared_base + shared_bytes) {
            to = shared.data() + (da - shared_base);
            for (uint64_t b = 0; b < ph.p_memsz; ++b) shared_touched[da - shared_base + b] = true;
        }
        if (to == nullptr) {
            char d[48];
            std::snprintf(d, sizeof d, "bad phdr da 0x%x mem 0x%x", ph.p_paddr, ph.p_memsz);
            return refuse(why, d);
        }
        std::memcpy(to, f.data() + ph.p_offset, ph.p_filesz);
        std::memset(to + ph.p_filesz, 0, ph.p_memsz - ph.p_filesz);
    }
    std::memcpy(c.iram, iram.data(), iram_bytes);
    std::memcpy(c.dram, dram.data(), dram_bytes);
    std::memcpy(c.dram_other, other.data(), dram_bytes);
    for (uint32_t b = 0; b < shared_bytes; ++b)
        if (shared_touched[b]) c.shared[b] = shared[b];
    why = table ? "" : "no resource table found for this fw";
    // The control register takes the entry's word address in its upper 16 bits.
    c.reset((eh.e_entry >> 2) & 0xffff);
    return 0;
}

}  // namespace pru
