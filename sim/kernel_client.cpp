// The simulated kernel's client: starting hx_simkernel over the sandbox's /sys for a
// kernel profile, steering it, finding its devices.
#include "internal.h"
#include "sim/firmware.h"
#include "sim/sandbox.h"

#include "../library/src/sys/sysfs.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sandbox {

using internal::check;
using internal::die;

namespace {

pid_t kernel_pid = -1;
constexpr long fuse_magic = 0x65735546;

}  // namespace

namespace internal {

// The simulated kernel goes, and its mount with it (a server that is gone leaves a
// mount that answers ENOTCONN).
void stop_kernel()
{
    if (kernel_pid > 0) {
        kill(kernel_pid, SIGKILL);
        waitpid(kernel_pid, nullptr, 0);
        kernel_pid = -1;
    }
    struct statfs fs{};
    while (statfs("/sys", &fs) == 0 && fs.f_type == fuse_magic) check(umount2("/sys", MNT_DETACH), "umount", "/sys");
}

}  // namespace internal

bool simulated_kernel(std::string* why)
{
    if (*HX_SIMKERNEL != '\0' && access(HX_SIMKERNEL, X_OK) == 0) return true;
    *why = *HX_SIMKERNEL == '\0'
               ? "no simulated kernel: a board build's tests start the PC build's; build the PC build beside this "
                 "one (build/host), then configure this one again, or pass -DHALVEX_HOST_SIMKERNEL=<PC build>/sim/hx_simkernel"
               : std::string("the simulated kernel is not built: ") + HX_SIMKERNEL;
    return false;
}

// The simulated kernel names the generations it models: they are defined there alone.
const std::vector<std::string>& profiles()
{
    static const std::vector<std::string> all = [] {
        std::vector<std::string> names;
        std::string why;
        if (!simulated_kernel(&why)) return std::vector<std::string>{"none"};
        FILE* p = popen(HX_SIMKERNEL " --profiles", "r");
        if (p == nullptr) die("can't run", HX_SIMKERNEL);
        char line[64];
        while (std::fgets(line, sizeof line, p) != nullptr) names.emplace_back(line, std::strcspn(line, "\n"));
        if (pclose(p) != 0 || names.empty()) die("no kernel profiles from", HX_SIMKERNEL);
        return names;
    }();
    return all;
}

void boot(const std::string& profile)
{
    // Only ever over the sandbox's own /sys and /dev.
    if (!internal::inside()) {
        errno = EPERM;
        die("boot outside the sandbox:", profile);
    }
    if (kernel_pid > 0) internal::stop_kernel();
    if (access("/dev/mem", F_OK) != 0) add_dev_mem();
    firmware::install_defaults();
    const pid_t pid = fork();
    if (pid < 0) die("fork for", HX_SIMKERNEL);
    if (pid == 0) {
        execl(HX_SIMKERNEL, "hx_simkernel", "--profile", profile.c_str(), "--firmware-path", firmware::dir,
              static_cast<char*>(nullptr));
        std::perror(HX_SIMKERNEL);
        _exit(127);
    }
    kernel_pid = pid;
    // Ready once the model answers through the mount.
    for (int i = 0; i < 2000; ++i) {
        char buf[64] = {};
        const int f = open("/sys/hxsim/profile", O_RDONLY | O_CLOEXEC);
        if (f >= 0) {
            const ssize_t n = read(f, buf, sizeof buf - 1);
            close(f);
            if (n > 0 && std::string(buf) == profile + "\n") return;
        }
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            kernel_pid = -1;
            errno = ECHILD;
            die("the simulated kernel ended early:", HX_SIMKERNEL);
        }
        usleep(5000);
    }
    errno = ETIMEDOUT;
    die("the simulated kernel did not come up:", HX_SIMKERNEL);
}

int try_steer(const std::string& command)
{
    const int f = open("/sys/hxsim/ctl", O_WRONLY | O_CLOEXEC);
    if (f < 0) return errno;
    const int rc = write(f, command.data(), command.size()) < 0 ? errno : 0;
    close(f);
    return rc;
}

void steer(const std::string& command)
{
    const int rc = try_steer(command);
    if (rc != 0) {
        errno = rc;
        die("the simulated kernel refused", command);
    }
}

std::string find_device(const std::string& class_dir, const std::string& device)
{
    const char* const names[] = {device.c_str()};
    char path[256];
    return hx::sysfs::find_device(class_dir.c_str(), "", names, 1, path, sizeof path) >= 0 ? path : "";
}

}  // namespace sandbox
