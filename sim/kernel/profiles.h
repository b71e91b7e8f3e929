// The kernel generations the simulated kernel serves: how each lays out and numbers
// the board's devices, and how its drivers behave where they differ. One flag per
// behaviour.
#ifndef HX_SIM_PROFILES_H
#define HX_SIM_PROFILES_H

#include <vector>

namespace simk {

struct profile_def {
    const char* name = "";
    bool legacy_eqep = false;             // vendor 4.x: the out-of-tree eQEP attributes
    std::vector<const char*> counters{};  // counter subsystem: unit addresses in counterN order
    std::vector<const char*> rprocs{};    // remoteprocN order
    bool rproc_name = false;              // the `name` attribute (since 5.4)
    bool rproc_counts_users = false;      // a start of a running core is one more user (OK),
                                          // and the last stop stops it (7.2 showed it);
                                          // else EBUSY
    bool pru_legacy_loader = false;       // vendor 4.x pru_rproc: code linked at IRAM 0 and a
                                          // resource table required
    std::vector<const char*> gpio{};      // banks in gpiochipN order
    std::vector<int> uarts{};
    bool serial_port_devices = false;     // since 6.5: each port a device of its own below
                                          // its UART (44e09000.serial:0.0)
    bool pinctrl = true;                  // the control module's pin controller, in debugfs
    bool pinctrl_gpio_column = false;     // since 5.9 its pins file names each pin's GPIO line
    const char* ocp = "/devices/platform/ocp";  // where the units sit below /sys
};

// Every profile, the board-less "bare" last.
const std::vector<profile_def>& profiles();

}  // namespace simk

#endif
