// The simulated AM335x board as each kernel generation presents it in sysfs: the
// drivers' attributes (eQEP, counter, remoteproc, PWM), the discovery links, the PRU
// cores, and the control files through which tests steer it. This
// is the FUSE server's view of it (main.cpp); the models share model.h.
#ifndef HX_SIM_BOARD_H
#define HX_SIM_BOARD_H

#include "tree.h"

#include <mutex>
#include <string>

namespace simk {

// Every access to the tree and the model holds this lock.
std::mutex& model_lock();
tree& sysfs();

// The name (comm) of the thread whose write the model is answering; the FUSE server
// sets it before each store, so that the PWM record says who wrote.
void set_writer(const std::string& comm);

// Lay out the board of a kernel profile; false for an unknown profile.
bool build(const std::string& profile);

// Stop the PRU cores' threads before the server ends.
void shut_down();

}  // namespace simk

#endif
