// The simulated AM335x board as each kernel generation presents it in sysfs: the
// drivers' attributes (eQEP, counter, remoteproc), the discovery links, the PRU cores,
// and the control files through which tests steer it. This is the FUSE server's view
// of it (main.cpp); the models share model.h.
#ifndef HX_SIM_BOARD_H
#define HX_SIM_BOARD_H

#include "tree.h"

#include <mutex>
#include <string>

namespace simk {

// Every access to the tree and the model holds this lock.
std::mutex& model_lock();
tree& sysfs();

// Lay out the board of a kernel profile; false for an unknown profile.
bool build(const std::string& profile);

// Stop the PRU cores' threads before the server ends.
void shut_down();

}  // namespace simk

#endif
