// The board's tree after the device tree additions are merged into it, checked as the
// kernel would read it: every node the library needs enabled (found by register address,
// whatever the tree calls it), every signal's pad muxed by the device that uses it at
// the value of the library's pad table, no pad claimed by the groups of two enabled
// devices, every pad row as wide as the pin controller's #pinctrl-cells says, and
// nothing of the board's own tree lost but what the overlay sets.
//
//   treecheck MERGED.dtb [ORIGINAL.dtb OVERLAY.dtbo]   problems, one a line; exit 1 if any
//   treecheck --claims TREE.dtb                         each claimed pad: "838 36 CONSUMER GROUP"
//   treecheck --same-pads THREE.dtbo TWO.dtbo           the overlays' groups hold the same pads,
//                                                       the first in three-cell rows, the second in two
//   treecheck --consumers TREE.dtb                      each enabled node's default pin groups:
//                                                       "ADDRESS|- PHANDLE..." (the board VM's)
#include "../../library/src/sys/pads.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

extern "C" {
#include <libfdt.h>
}

namespace {

using blob = std::vector<char>;
std::vector<std::string> problems;

blob load(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    blob b{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (b.empty() || fdt_check_header(b.data()) != 0) {
        std::fprintf(stderr, "treecheck: %s is not a device tree blob\n", path);
        std::exit(2);
    }
    return b;
}

std::string path_of(const void* fdt, int node)
{
    char buf[512];
    return fdt_get_path(fdt, node, buf, sizeof buf) == 0 ? buf : "?";
}

std::vector<uint32_t> cells(const void* fdt, int node, const char* name)
{
    int len = 0;
    const auto* p = static_cast<const fdt32_t*>(fdt_getprop(fdt, node, name, &len));
    std::vector<uint32_t> out;
    for (int i = 0; p != nullptr && i < len / 4; ++i) out.push_back(fdt32_to_cpu(p[i]));
    return out;
}

uint32_t cell_count(const void* fdt, int node, const char* name, uint32_t otherwise)
{
    const auto c = cells(fdt, node, name);
    return c.empty() ? otherwise : c[0];
}

uint64_t read_cells(const std::vector<uint32_t>& c, size_t at, uint32_t n)
{
    uint64_t v = 0;
    for (uint32_t i = 0; i < n; ++i) v = (v << 32) | c[at + i];
    return v;
}

// An address of a node's bus as the CPU sees it, through every parent's ranges.
std::optional<uint64_t> translate(const void* fdt, int parent, uint64_t a)
{
    for (int bus = parent; bus != 0;) {
        const int up = fdt_parent_offset(fdt, bus);
        int len = 0;
        if (fdt_getprop(fdt, bus, "ranges", &len) == nullptr) return std::nullopt;
        if (len > 0) {
            const auto r = cells(fdt, bus, "ranges");
            const uint32_t child = cell_count(fdt, bus, "#address-cells", 2);
            const uint32_t par = cell_count(fdt, up, "#address-cells", 2);
            const uint32_t size = cell_count(fdt, bus, "#size-cells", 1);
            bool mapped = false;
            for (size_t i = 0; i + child + par + size <= r.size() && !mapped; i += child + par + size) {
                const uint64_t from = read_cells(r, i, child), to = read_cells(r, i + child, par),
                               n = read_cells(r, i + child + par, size);
                if (a >= from && a < from + n) {
                    a = a - from + to;
                    mapped = true;
                }
            }
            if (!mapped) return std::nullopt;
        }
        bus = up;
    }
    return a;
}

// The node's first reg address as the CPU sees it.
std::optional<uint64_t> address(const void* fdt, int node)
{
    const int parent = fdt_parent_offset(fdt, node);
    if (parent < 0) return std::nullopt;
    const auto reg = cells(fdt, node, "reg");
    const uint32_t ac = cell_count(fdt, parent, "#address-cells", 2);
    if (reg.size() < ac || ac == 0) return std::nullopt;
    return translate(fdt, parent, read_cells(reg, 0, ac));
}

// Every reg entry of the node as the CPU sees it: (address, size).
std::vector<std::pair<uint64_t, uint64_t>> regions(const void* fdt, int node)
{
    const int parent = fdt_parent_offset(fdt, node);
    const auto reg = cells(fdt, node, "reg");
    const uint32_t ac = cell_count(fdt, parent, "#address-cells", 2), sc = cell_count(fdt, parent, "#size-cells", 1);
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (size_t i = 0; ac > 0 && i + ac + sc <= reg.size(); i += ac + sc) {
        const auto a = translate(fdt, parent, read_cells(reg, i, ac));
        out.push_back({a ? *a : ~0ull, read_cells(reg, i + ac, sc)});
    }
    return out;
}

bool compatible(const void* fdt, int node, const char* what)
{
    int len = 0;
    const char* p = static_cast<const char*>(fdt_getprop(fdt, node, "compatible", &len));
    for (int i = 0; p != nullptr && i < len; i += static_cast<int>(std::strlen(p + i)) + 1)
        if (std::strcmp(p + i, what) == 0) return true;
    return false;
}

// -1 when the node and every parent are enabled, else the node that is not.
int disabled_by(const void* fdt, int node)
{
    for (int n = node; n >= 0; n = n == 0 ? -1 : fdt_parent_offset(fdt, n)) {
        const char* s = static_cast<const char*>(fdt_getprop(fdt, n, "status", nullptr));
        if (s != nullptr && std::strcmp(s, "okay") != 0 && std::strcmp(s, "ok") != 0) return n;
    }
    return -1;
}

bool enabled(const void* fdt, int node) { return disabled_by(fdt, node) < 0; }

int find(const void* fdt, uint64_t at, const char* compat)
{
    for (int n = fdt_next_node(fdt, -1, nullptr); n >= 0; n = fdt_next_node(fdt, n, nullptr))
        if (compatible(fdt, n, compat) && address(fdt, n) == at) return n;
    return -1;
}

struct claim {
    uint32_t value;
    int consumer;
    std::string group;
};

// Every pad the groups of enabled nodes claim, by offset (0x838).
std::map<int, std::vector<claim>> claims(const void* fdt, int pinmux)
{
    const uint32_t width = cell_count(fdt, pinmux, "#pinctrl-cells", 1) + 1;
    std::map<int, std::vector<claim>> out;
    for (int n = fdt_next_node(fdt, -1, nullptr); n >= 0; n = fdt_next_node(fdt, n, nullptr)) {
        if (!enabled(fdt, n)) continue;
        for (int p = fdt_first_property_offset(fdt, n); p >= 0; p = fdt_next_property_offset(fdt, p)) {
            const char* name = nullptr;
            int len = 0;
            const auto* v = static_cast<const fdt32_t*>(fdt_getprop_by_offset(fdt, p, &name, &len));
            if (std::strncmp(name, "pinctrl-", 8) != 0 || std::strspn(name + 8, "0123456789") != std::strlen(name + 8))
                continue;
            for (int i = 0; i < len / 4; ++i) {
                const int g = fdt_node_offset_by_phandle(fdt, fdt32_to_cpu(v[i]));
                if (g < 0 || fdt_parent_offset(fdt, g) != pinmux) continue;
                const auto rows = cells(fdt, g, "pinctrl-single,pins");
                if (rows.size() % width != 0)
                    problems.push_back("group " + path_of(fdt, g) + ": " + std::to_string(rows.size()) +
                                       " cells, not rows of " + std::to_string(width) + " (#pinctrl-cells)");
                for (size_t r = 0; r + width <= rows.size(); r += width) {
                    uint32_t value = 0;
                    for (uint32_t k = 1; k < width; ++k) value |= rows[r + k];
                    out[static_cast<int>(rows[r]) + hx::pads::first_pad].push_back({value, n, path_of(fdt, g)});
                }
            }
        }
    }
    return out;
}

void check_tree(const void* fdt)
{
    const struct {
        uint64_t at;
        const char* compat;
        const char* what;
    } needed[] = {
        {0x44e10800, "pinctrl-single", "the pad controller"},
        {0x4a302000, "halvex,pru-memories", "the PRU memories' UIO device"},
        {0x4a300000, "ti,am3356-pruss", "the PRU-ICSS"},
        {0x4a320000, "ti,pruss-intc", "the PRU-ICSS's interrupt controller"},
        {0x4a334000, "ti,am3356-pru", "PRU core 0 (encoder 4)"},
        {0x4a338000, "ti,am3356-pru", "PRU core 1 (the servo header)"},
        {0x48300180, "ti,am3352-eqep", "eQEP0 (encoder 1)"},
        {0x48302180, "ti,am3352-eqep", "eQEP1 (encoder 2)"},
        {0x48304180, "ti,am3352-eqep", "eQEP2 (encoder 3)"},
        {0x481ac000, "ti,omap4-gpio", "GPIO bank 2 (buttons, servo rail)"},
        {0x44e09000, "ti,am3352-uart", "UART0"},
        {0x48022000, "ti,am3352-uart", "UART1"},
        {0x48024000, "ti,am3352-uart", "UART2"},
        {0x481aa000, "ti,am3352-uart", "UART5"},
    };
    for (const auto& n : needed) {
        const int node = find(fdt, n.at, n.compat);
        char at[16];
        std::snprintf(at, sizeof at, "%llx", static_cast<unsigned long long>(n.at));
        if (node < 0) problems.push_back(std::string(n.what) + ": no " + n.compat + " node at " + at);
        else if (const int off = disabled_by(fdt, node); off >= 0)
            problems.push_back(std::string(n.what) + ": " + path_of(fdt, node) + " is disabled" +
                               (off == node ? "" : " (by " + path_of(fdt, off) + ")"));
    }
    // A UIO device maps what its reg says for whoever may open it: exactly PRU core 1's
    // data RAM and the shared RAM, nothing else of the SoC.
    const std::vector<std::pair<uint64_t, uint64_t>> pru_memories = {{0x4a302000, 0x2000}, {0x4a310000, 0x3000}};
    for (int n = fdt_next_node(fdt, -1, nullptr); n >= 0; n = fdt_next_node(fdt, n, nullptr)) {
        if (!compatible(fdt, n, "halvex,pru-memories") || !enabled(fdt, n)) continue;
        if (regions(fdt, n) != pru_memories) {
            std::string got;
            char r[48];
            for (const auto& [a, size] : regions(fdt, n)) {
                std::snprintf(r, sizeof r, " %llx+%llx", static_cast<unsigned long long>(a),
                              static_cast<unsigned long long>(size));
                got += r;
            }
            problems.push_back(path_of(fdt, n) + ": maps" + got + ", not exactly 4a302000+2000 4a310000+3000");
        }
    }
    const int pinmux = find(fdt, 0x44e10800, "pinctrl-single");
    if (pinmux < 0) return;
    const auto all = claims(fdt, pinmux);
    char text[200];
    for (const auto& [pad, list] : all) {
        std::set<int> consumers;
        for (const auto& c : list) consumers.insert(c.consumer);
        if (consumers.size() < 2) continue;
        std::string who;
        // Appended piece by piece: g++ 12 at -O3 takes `"literal" + std::string&&` for an
        // overlapping memcpy (-Wrestrict, a false positive) and the build stops.
        for (const auto& c : list) {
            who += ' ';
            who += path_of(fdt, c.consumer);
            who += " (";
            who += c.group;
            who += ')';
        }
        std::snprintf(text, sizeof text, "pad %#x claimed by more than one enabled device:", pad);
        problems.push_back(text + who);
    }
    for (const auto& s : hx::pads::signals) {
        const auto it = all.find(s.offset);
        if (it == all.end()) {
            std::snprintf(text, sizeof text, "%s: pad %#x is muxed by no enabled device (wanted %#04x)", s.what,
                          s.offset, s.value);
            problems.push_back(text);
            continue;
        }
        for (const auto& c : it->second) {
            if (c.value != s.value) {
                std::snprintf(text, sizeof text, "%s: pad %#x is %#04x in %s, wanted %#04x", s.what, s.offset, c.value,
                              c.group.c_str(), s.value);
                problems.push_back(text);
            }
            if (address(fdt, c.consumer) != s.unit) {
                std::snprintf(text, sizeof text, "%s: pad %#x is muxed by %s, not by the unit at %x", s.what, s.offset,
                              path_of(fdt, c.consumer).c_str(), s.unit);
                problems.push_back(text);
            }
        }
    }
}

// The (node path, property) pairs the overlay sets, on the nodes it targets in base:
// by target-path, or by a label of base's __symbols__ named in the overlay's __fixups__.
std::set<std::pair<std::string, std::string>> overlay_sets(const void* ov, const void* base)
{
    std::set<std::pair<std::string, std::string>> out;
    const int fixups = fdt_path_offset(ov, "/__fixups__");
    for (int f = fdt_first_subnode(ov, 0); f >= 0; f = fdt_next_subnode(ov, f)) {
        const char* name = fdt_get_name(ov, f, nullptr);
        if (std::strncmp(name, "fragment@", 9) != 0) continue;
        std::string target;
        if (const char* p = static_cast<const char*>(fdt_getprop(ov, f, "target-path", nullptr))) target = p;
        for (int p = fixups < 0 ? -1 : fdt_first_property_offset(ov, fixups); target.empty() && p >= 0;
             p = fdt_next_property_offset(ov, p)) {
            const char* label = nullptr;
            int len = 0;
            const char* v = static_cast<const char*>(fdt_getprop_by_offset(ov, p, &label, &len));
            std::string want = "/";  // appended, as above
            want += name;
            want += ":target:0";
            for (int i = 0; i < len; i += static_cast<int>(std::strlen(v + i)) + 1)
                if (want == v + i) {
                    const int sym = fdt_path_offset(base, "/__symbols__");
                    const char* at = sym < 0 ? nullptr : static_cast<const char*>(fdt_getprop(base, sym, label, nullptr));
                    target = at != nullptr ? at : "";
                }
        }
        const int o = fdt_subnode_offset(ov, f, "__overlay__");
        if (o < 0 || target.empty()) continue;
        // Every property at or below __overlay__, at its path in the merged tree.
        int depth = 0;
        std::vector<std::string> at{target == "/" ? "" : target};
        for (int n = o; n >= 0 && (n == o || depth > 0); n = fdt_next_node(ov, n, &depth)) {
            if (n != o) {
                at.resize(static_cast<size_t>(depth));
                at.push_back(at.back() + "/" + fdt_get_name(ov, n, nullptr));
            }
            for (int p = fdt_first_property_offset(ov, n); p >= 0; p = fdt_next_property_offset(ov, p)) {
                const char* pname = nullptr;
                fdt_getprop_by_offset(ov, p, &pname, nullptr);
                out.insert({at.back().empty() ? "/" : at.back(), pname});
            }
        }
    }
    return out;
}

void check_kept(const void* merged, const void* original, const void* overlay)
{
    const auto sets = overlay_sets(overlay, original);
    for (int n = fdt_next_node(original, -1, nullptr); n >= 0; n = fdt_next_node(original, n, nullptr)) {
        const std::string path = path_of(original, n);
        const int m = fdt_path_offset(merged, path.c_str());
        if (m < 0) {
            problems.push_back("lost: node " + path);
            continue;
        }
        for (int p = fdt_first_property_offset(original, n); p >= 0; p = fdt_next_property_offset(original, p)) {
            const char* name = nullptr;
            int len = 0;
            const void* v = fdt_getprop_by_offset(original, p, &name, &len);
            if (sets.count({path, name}) != 0) continue;
            int mlen = 0;
            const void* mv = fdt_getprop(merged, m, name, &mlen);
            if (mv == nullptr) problems.push_back("lost: " + path + " " + name);
            else if (mlen != len || std::memcmp(mv, v, static_cast<size_t>(len)) != 0)
                problems.push_back("changed, though the overlay does not set it: " + path + " " + name);
        }
    }
}

// Every group of an overlay (a node with pinctrl-single,pins): its rows as (pad, value).
std::map<std::string, std::vector<std::pair<uint32_t, uint32_t>>> groups(const void* fdt, uint32_t width)
{
    std::map<std::string, std::vector<std::pair<uint32_t, uint32_t>>> out;
    for (int n = fdt_next_node(fdt, -1, nullptr); n >= 0; n = fdt_next_node(fdt, n, nullptr)) {
        const auto rows = cells(fdt, n, "pinctrl-single,pins");
        if (rows.empty()) continue;
        auto& g = out[fdt_get_name(fdt, n, nullptr)];
        if (rows.size() % width != 0) g.push_back({~0u, static_cast<uint32_t>(rows.size())});
        for (size_t r = 0; r + width <= rows.size(); r += width) {
            uint32_t value = 0;
            for (uint32_t k = 1; k < width; ++k) value |= rows[r + k];
            g.push_back({rows[r], value});
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--claims") == 0) {
        const blob t = load(argv[2]);
        const int pinmux = find(t.data(), 0x44e10800, "pinctrl-single");
        if (pinmux < 0) return 1;
        for (const auto& [pad, list] : claims(t.data(), pinmux))
            for (const auto& c : list)
                std::printf("%x %02x %s %s\n", pad, c.value, path_of(t.data(), c.consumer).c_str(), c.group.c_str());
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--consumers") == 0) {
        const blob t = load(argv[2]);
        const void* fdt = t.data();
        const int pinmux = find(fdt, 0x44e10800, "pinctrl-single");
        if (pinmux < 0) return 1;
        for (int n = fdt_next_node(fdt, -1, nullptr); n >= 0; n = fdt_next_node(fdt, n, nullptr)) {
            if (!enabled(fdt, n)) continue;
            std::string groups;
            for (const uint32_t ph : cells(fdt, n, "pinctrl-0")) {
                const int g = fdt_node_offset_by_phandle(fdt, ph);
                if (g >= 0 && fdt_parent_offset(fdt, g) == pinmux) groups += " " + std::to_string(ph);
            }
            if (groups.empty()) continue;
            char at[20] = "-";
            if (const auto a = address(fdt, n))
                std::snprintf(at, sizeof at, "%llx", static_cast<unsigned long long>(*a));
            std::printf("%s%s\n", at, groups.c_str());
        }
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "--same-pads") == 0) {
        const blob three = load(argv[2]), two = load(argv[3]);
        const auto a = groups(three.data(), 3), b = groups(two.data(), 2);
        if (a.empty() || a != b) {
            std::printf("the overlays' groups differ (or hold none)\n");
            return 1;
        }
        std::printf("%zu groups, the same pads at the same values\n", a.size());
        return 0;
    }
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: treecheck MERGED.dtb [ORIGINAL.dtb OVERLAY.dtbo] | --claims TREE.dtb | "
                             "--same-pads THREE.dtbo TWO.dtbo\n");
        return 2;
    }
    const blob merged = load(argv[1]);
    check_tree(merged.data());
    if (argc == 4) {
        const blob original = load(argv[2]), overlay = load(argv[3]);
        check_kept(merged.data(), original.data(), overlay.data());
    }
    for (const auto& p : problems) std::printf("%s\n", p.c_str());
    return problems.empty() ? 0 : 1;
}
