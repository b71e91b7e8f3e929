// What the simulated kernel's driver models share: the kernel profile being served,
// the sysfs tree, the clock, and each model's entry points for the board's layout
// (board.cpp) and the control language (control.cpp).
#ifndef HX_SIM_MODEL_H
#define HX_SIM_MODEL_H

#include "profiles.h"
#include "tree.h"

#include <cstdint>
#include <iosfwd>
#include <string>

namespace simk {

extern const profile_def* profile;
extern tree the_tree;

long long now_us();
inline std::string num(uint64_t v) { return std::to_string(v); }
// The directory of the EPWMSS that holds a unit at address addr (4830x...).
std::string epwmss_dir(const std::string& addr);

// eQEP (eqep.cpp): the vendor 4.x attributes, or a counter device, for each unit.
void add_eqep_units();
// The encoder on unit addr ("48302180") turns at rate counts a second, or its raw count
// becomes value; false for an unknown unit.
bool turn_wheel(const std::string& addr, double rate);
bool set_count(const std::string& addr, long long value);

// remoteproc and the PRU core model behind it (remoteproc.cpp). Firmware images are
// read from firmware_path (the kernel's firmware_class.path).
extern std::string firmware_path;
void add_remoteprocs();
int pru_command(int core, const std::string& what, std::istream& args);
std::string pru_report();
// Every change of the cores' R30 since the board came up, "CORE CYCLE VALUE" (the value
// in hex) a line, in each core's order.
std::string r30_record();
void stop_remoteprocs();

// GPIO banks and UARTs: only their discovery links (links.cpp).
void add_links();

// The pad registers and the pin controller's debugfs file (pinctrl.cpp). set_pad: false
// for an offset that is not a pad.
void add_pinctrl();
bool set_pad(int offset, uint32_t value);
// debugfs not mounted: /sys/kernel/debug empty.
void unmount_debugfs();

// The control files (control.cpp): /sys/hxsim/{profile,ctl,pru,r30}.
void add_control();

}  // namespace simk

#endif
