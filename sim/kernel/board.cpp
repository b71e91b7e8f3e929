// The simulated AM335x board of one kernel profile: the driver models laid out in the
// tree as that kernel generation lays them out, under one lock.
#include "board.h"

#include "model.h"

#include <ctime>

namespace simk {

const profile_def* profile = nullptr;
tree the_tree;

long long now_us()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

std::string epwmss_dir(const std::string& addr)
{
    return std::string(profile->ocp) + "/" + addr.substr(0, 5) + "000.epwmss";
}

std::mutex& model_lock()
{
    static std::mutex m;
    return m;
}

tree& sysfs() { return the_tree; }

bool build(const std::string& name)
{
    for (const auto& p : profiles())
        if (name == p.name) profile = &p;
    if (profile == nullptr) return false;
    the_tree.dir("/");
    add_eqep_units();
    add_remoteprocs();
    add_links();
    the_tree.dir("/class/remoteproc");
    the_tree.dir("/kernel");
    add_pinctrl();
    add_control();
    return true;
}

void shut_down() { stop_remoteprocs(); }

}  // namespace simk
