// The sandbox's namespace: a private mount namespace (inside a user namespace when not
// root), every mount private first, fresh tmpfs over /sys and /dev with a few real
// nodes bound back, and the reset that throws everything built since away.
#include "internal.h"
#include "sim/sandbox.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

namespace sandbox {

namespace {

bool is_inside = false;
// O_PATH handles of the real nodes bound back into the fresh /dev (fuse: for the
// simulated kernel, where the machine has it).
constexpr std::array<const char*, 5> dev_nodes = {"null", "zero", "full", "urandom", "fuse"};
std::array<int, 5> saved_dev{-1, -1, -1, -1, -1};

}  // namespace

namespace internal {

[[noreturn]] void die(const char* what, const std::string& path)
{
    std::fprintf(stderr, "sandbox: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
    std::abort();
}

void check(int rc, const char* what, const std::string& path)
{
    if (rc != 0) die(what, path);
}

bool inside() { return is_inside; }

}  // namespace internal

using internal::check;
using internal::die;

namespace {

void write_file(const char* path, const char* text)
{
    const int f = open(path, O_WRONLY);
    if (f < 0 || write(f, text, std::strlen(text)) < 0) die("write", path);
    close(f);
}

void mount_fresh()
{
    check(mount("sysfs-standin", "/sys", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755"),
          "mount tmpfs on", "/sys");
    check(mount("dev-standin", "/dev", "tmpfs", MS_NOSUID, "mode=0755"), "mount tmpfs on", "/dev");
    for (size_t i = 0; i < dev_nodes.size(); ++i) {
        if (saved_dev[i] < 0) continue;
        const std::string node = std::string("/dev/") + dev_nodes[i];
        put(node, "");
        const std::string src = "/proc/self/fd/" + std::to_string(saved_dev[i]);
        check(mount(src.c_str(), node.c_str(), nullptr, MS_BIND, nullptr), "bind", node);
    }
    // A private devpts instance; the machine's own ptmx does not work across instances.
    make_dir("/dev/pts");
    check(mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620"),
          "mount devpts on", "/dev/pts");
    check(symlink("pts/ptmx", "/dev/ptmx"), "symlink", "/dev/ptmx");
}

}  // namespace

bool enter(std::string* why)
{
    if (is_inside) return true;
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWNS) != 0) {
        // Not root: a user namespace grants the mount rights inside it alone.
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            *why = std::string("unshare: ") + std::strerror(errno);
            return false;
        }
        char map[64];
        write_file("/proc/self/setgroups", "deny");
        std::snprintf(map, sizeof map, "0 %u 1", static_cast<unsigned>(uid));
        write_file("/proc/self/uid_map", map);
        std::snprintf(map, sizeof map, "0 %u 1", static_cast<unsigned>(gid));
        write_file("/proc/self/gid_map", map);
    }
    // First of all: nothing mounted below may propagate back to the machine's /sys or /dev.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = std::string("make mounts private: ") + std::strerror(errno);
        return false;
    }
    for (size_t i = 0; i < dev_nodes.size(); ++i) {
        const std::string node = std::string("/dev/") + dev_nodes[i];
        saved_dev[i] = open(node.c_str(), O_PATH | O_CLOEXEC);
        if (saved_dev[i] < 0 && std::strcmp(dev_nodes[i], "fuse") != 0) die("open", node);
    }
    mount_fresh();
    is_inside = true;
    return true;
}

bool entered() { return is_inside; }

void reset()
{
    if (!is_inside) return;
    internal::stop_kernel();
    internal::stop_serial();
    internal::forget_ram();
    // /sys is thrown away whole; a lazy unmount takes binds made inside it along.
    check(umount2("/sys", MNT_DETACH), "umount", "/sys");
    check(mount("sysfs-standin", "/sys", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755"),
          "mount tmpfs on", "/sys");
    // /dev stays, so that the library's one mapping of /dev/mem (made once per process)
    // keeps seeing the file the tests write: drop the tests' binds and files, and zero
    // /dev/mem in place.
    std::ifstream info("/proc/self/mountinfo");
    std::string line;
    std::vector<std::string> binds;
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::string id, parent, dev, root, point;
        fields >> id >> parent >> dev >> root >> point;
        if (point.rfind("/dev/", 0) != 0 || point == "/dev/pts") continue;
        bool base = false;
        for (const char* n : dev_nodes) base = base || point == std::string("/dev/") + n;
        if (!base) binds.push_back(point);
    }
    for (const std::string& b : binds) umount2(b.c_str(), MNT_DETACH);
    DIR* d = opendir("/dev");
    std::vector<std::string> extra;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == ".." || name == "pts" || name == "ptmx" || name == "mem") continue;
        bool base = false;
        for (const char* n : dev_nodes) base = base || name == n;
        if (!base) extra.push_back("/dev/" + name);
    }
    closedir(d);
    for (const std::string& e : extra) ::unlink(e.c_str());
    if (access("/dev/mem", F_OK) == 0) {
        check(truncate("/dev/mem", 0), "truncate", "/dev/mem");
        check(truncate("/dev/mem", internal::pru_ram_phys + static_cast<off_t>(internal::pru_ram_size)), "truncate",
              "/dev/mem");
    }
}

}  // namespace sandbox
