#include "profiles.h"

namespace simk {

namespace {

constexpr const char* m3 = "44d00000.m3";
constexpr const char* pru0 = "4a334000.pru";
constexpr const char* pru1 = "4a338000.pru";
constexpr const char* bank0 = "44e07000.gpio";
constexpr const char* bank1 = "4804c000.gpio";
constexpr const char* bank2 = "481ac000.gpio";
constexpr const char* bank3 = "481ae000.gpio";
constexpr const char* target_module = "/devices/platform/ocp/48300000.target-module";

}  // namespace

const std::vector<profile_def>& profiles()
{
    static const std::vector<profile_def> all = {
        {.name = "vendor-4.19",
         .legacy_eqep = true,
         .rprocs = {m3, pru0, pru1},
         .pru_legacy_loader = true,
         .gpio = {bank0, bank1, bank2, bank3},
         .uarts = {0, 1, 2, 4, 5}},
        {.name = "vendor-6.1",
         .counters = {"48300180", "48302180", "48304180"},
         .rprocs = {m3, pru0, pru1},
         .rproc_name = true,
         .gpio = {bank0, bank1, bank2, bank3},
         .uarts = {0, 1, 2, 4, 5},
         .pinctrl_gpio_column = true,
         .ocp = target_module},
        // Counters, remote processors and GPIO banks in an order no guess would give.
        {.name = "mainline-6.12",
         .counters = {"48304180", "48300180", "48302180"},
         .rprocs = {pru0, pru1, m3},
         .rproc_name = true,
         .rproc_counts_users = true,
         .gpio = {bank1, bank2, bank3, bank0},
         .uarts = {0, 1, 2, 4, 5},
         .serial_port_devices = true,
         .pinctrl_gpio_column = true,
         .ocp = target_module},
        // Nothing of the board's: every lookup fails.
        {.name = "bare", .pinctrl = false},
    };
    return all;
}

}  // namespace simk
