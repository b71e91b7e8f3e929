// hx_board_check: what this board's kernel offers each of halvex's services, found by
// the library's own lookups, and each signal's pad as the pin controller has it muxed;
// for whatever is missing or wrong, or there but not this user's to use, one line on
// what to do. Exit status 0 when everything is there, 1 otherwise.
#include <hx/board.h>

#include <cstdio>
#include <cstring>
#include <grp.h>
#include <initializer_list>
#include <pwd.h>
#include <unistd.h>

namespace {

int missing = 0;
bool unread = false;

void line(const char* what, int found, const char* where, const char* todo, const char* label = "MISSING")
{
    if (found == HX_BOARD_FOUND) {
        std::printf("%-16s %s\n", what, where);
        return;
    }
    if (found == HX_BOARD_UNKNOWN) {
        unread = true;
        std::printf("%-16s UNKNOWN: %s\n", what, where);
        return;
    }
    ++missing;
    if (found == HX_BOARD_NOT_PERMITTED) {
        // The group the thing is in: root's means the udev rules never ran for it.
        char group[32] = "";
        if (const char* g = std::strstr(where, "(group "))
            std::snprintf(group, sizeof group, "%.*s", static_cast<int>(std::strcspn(g + 7, ",)")), g + 7);
        char advice[160];
        if (group[0] == '\0' || std::strcmp(group, "root") == 0)
            std::snprintf(advice, sizeof advice, "%s",
                          "the udev rules are not applied: is halvex-tools installed? (then: sudo udevadm trigger)");
        else
            std::snprintf(advice, sizeof advice, "add this user to group %s (sudo adduser $USER %s) and log in again",
                          group, group);
        std::printf("%-16s NOT PERMITTED: %s\n%-16s   -> %s\n", what, where, "", advice);
        return;
    }
    std::printf("%-16s %s: %s\n%-16s   -> %s\n", what, label, where, "", todo);
}

}  // namespace

int main()
{
    char where[256];
    char what[32];
    char todo[200];
    static const char* const eqep_node[] = {"eqep0 (48300180) and epwmss0", "eqep1 (48302180) and epwmss1",
                                            "eqep2 (48304180) and epwmss2"};
    for (int unit = 1; unit <= 3; ++unit) {
        std::snprintf(what, sizeof what, "encoder %d", unit);
        std::snprintf(todo, sizeof todo, "enable %s in the device tree, and mux the unit's A and B pins",
                      eqep_node[unit - 1]);
        const int found = hx_board_eqep(unit, where, sizeof where);
        line(what, found, where, todo);
    }
    // Encoder 4 on PRU core 0, the servo header on core 1: each core and its image.
    static const char* const pru_what[] = {"encoder 4 (PRU)", "servos (PRU 1)"};
    static const char* const image[] = {"am335x-pru0-hx-encoder-fw", "am335x-pru1-hx-servo-fw"};
    int found = 0;
    for (int core = 0; core <= 1; ++core) {
        std::snprintf(todo, sizeof todo,
                      "enable the PRU-ICSS (pruss, 4a300000) and its pru%d core in the device tree: "
                      "halvex-device-tree does",
                      core);
        found = hx_board_pru(core, where, sizeof where);
        line(pru_what[core], found, where, todo);
        std::snprintf(what, sizeof what, "PRU %d firmware", core);
        found = hx_board_firmware(image[core], where, sizeof where);
        line(what, found, where, "install the halvex-pru-firmware package");
    }
    found = hx_board_pru_memory(where, sizeof where);
    line("PRU memories", found, where,
         "install halvex-device-tree (the UIO node) and, on Debian's kernels, halvex-modules (the UIO driver), "
         "and reboot; or run as root");
    found = hx_board_gpio(2, where, sizeof where);
    line("buttons", found, where, "enable gpio2 (481ac000) in the device tree; its /dev node comes from devtmpfs");
    for (const int bus : {0, 1, 2, 5}) {
        std::snprintf(what, sizeof what, "serial %d", bus);
        std::snprintf(todo, sizeof todo, "enable uart%d in the device tree and mux its RX and TX pins", bus);
        found = hx_board_uart(bus, where, sizeof where);
        line(what, found, where, todo);
    }
    // Each signal's pad, from the pin controller's view in debugfs.
    found = hx_board_pinctrl(where, sizeof where);
    line("pin mux", found, where, "enable the control module's pinmux (44e10800, pinctrl-single) in the device tree");
    for (int signal = 0; found == HX_BOARD_FOUND && hx_board_signal(signal) != nullptr; ++signal) {
        const int pad = hx_board_pad(signal, where, sizeof where);
        line(hx_board_signal(signal), pad, where,
             "install halvex-device-tree and reboot (README: the board's device tree), or give the pad that value "
             "in a tree of your own",
             "WRONG");
    }
    // Who runs this: root, or a user whom the group halvex gives the board's services.
    if (geteuid() == 0) {
        line("privileges", HX_BOARD_FOUND, "root", "");
    } else {
        const passwd* pw = getpwuid(geteuid());
        const char* name = pw != nullptr ? pw->pw_name : "?";
        const group* g = getgrnam("halvex");
        bool member = false;
        gid_t groups[64];
        const int n = getgroups(64, groups);
        for (int i = 0; g != nullptr && i < n; ++i) member = member || groups[i] == g->gr_gid;
        std::snprintf(where, sizeof where, "uid %u (%s), %s", static_cast<unsigned>(geteuid()), name,
                      g == nullptr ? "and no group halvex on this system"
                      : member     ? "in group halvex"
                                   : "not in group halvex");
        std::snprintf(todo, sizeof todo, "%s",
                      g == nullptr ? "install halvex-tools, which adds the group halvex and its udev rules"
                                   : "sudo adduser $USER halvex, then log in again (or run as root)");
        line("privileges", member ? HX_BOARD_FOUND : HX_BOARD_MISSING, where, todo);
    }
    if (missing == 0 && unread) std::printf("\nEverything halvex needs is there, but the pin mux is unread (above).\n");
    else if (missing == 0) std::printf("\nEverything halvex needs is there.\n");
    else std::printf("\n%d missing.\n", missing);
    return missing == 0 ? 0 : 1;
}
