// The kernels' PRU firmware loaders (remoteproc's ELF loader with pru_rproc's segment
// placement), as each generation applies them to an image in /lib/firmware.
#ifndef HX_SIM_PRU_ELF_H
#define HX_SIM_PRU_ELF_H

#include "pru_core.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pru {

struct loader_rules {
    // Vendor 4.x: no stripping of the GNU linker's IRAM offset (code must be linked at
    // IRAM 0), and a resource table is required.
    bool legacy = false;
};

// Check image as the kernel does and place its segments: executable ones in c's IRAM,
// the others in its data RAM, the other core's or the shared RAM. On success c starts at
// the entry point. Returns 0, or -EINVAL with the kernel's complaint in why (then
// nothing has been written).
int load(const std::vector<uint8_t>& image, const loader_rules& rules, core& c, std::string& why);

}  // namespace pru

#endif
