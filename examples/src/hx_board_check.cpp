// hx_board_check: what this board's kernel offers each of halvex's services, found by
// the library's own lookups, and for whatever is missing one line on what to do.
// Exit status 0 when everything is there, 1 otherwise.
#include <hx/board.h>

#include <cstdio>
#include <initializer_list>
#include <unistd.h>

namespace {

int missing = 0;

void line(const char* what, int found, const char* where, const char* todo)
{
    if (found == 1) {
        std::printf("%-16s %s\n", what, where);
        return;
    }
    ++missing;
    std::printf("%-16s MISSING: %s\n%-16s   -> %s\n", what, where, "", todo);
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
    int found = hx_board_pru(0, where, sizeof where);
    line("encoder 4 (PRU)", found, where, "enable the PRU-ICSS (pruss, 4a300000) and its pru0 core in the device tree");
    found = hx_board_firmware("am335x-pru0-hx-encoder-fw", where, sizeof where);
    line("PRU firmware", found, where, "install the halvex-pru-firmware package");
    static const char* const pwm_node[] = {"ehrpwm0 (48300200)", "ehrpwm0 (48300200)", "ehrpwm1 (48302200)",
                                           "ehrpwm1 (48302200)", "ehrpwm2 (48304200)", "ehrpwm2 (48304200)",
                                           "ecap0 (48300100)",   "ecap1 (48302100)"};
    for (int ch = 1; ch <= 8; ++ch) {
        std::snprintf(what, sizeof what, "servo %d", ch);
        std::snprintf(todo, sizeof todo, "enable %s and its epwmss in the device tree, and mux its output pin",
                      pwm_node[ch - 1]);
        found = hx_board_pwm(ch, where, sizeof where);
        line(what, found, where, todo);
    }
    found = hx_board_gpio(2, where, sizeof where);
    line("buttons", found, where, "enable gpio2 (481ac000) in the device tree; its /dev node comes from devtmpfs");
    for (const int bus : {0, 1, 2, 5}) {
        std::snprintf(what, sizeof what, "serial %d", bus);
        std::snprintf(todo, sizeof todo, "enable uart%d in the device tree and mux its RX and TX pins", bus);
        found = hx_board_uart(bus, where, sizeof where);
        line(what, found, where, todo);
    }
    line("privileges", geteuid() == 0, geteuid() == 0 ? "root" : "not root",
         "run the programs as root (sudo): /dev/mem, the PWM outputs and the GPIO lines need it");
    if (missing == 0) std::printf("\nEverything halvex needs is there.\n");
    else std::printf("\n%d missing.\n", missing);
    return missing == 0 ? 0 : 1;
}
