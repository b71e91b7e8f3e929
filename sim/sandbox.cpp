#include "sim/sandbox.h"

#include "../library/src/sys/sysfs.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sandbox {

namespace {

bool inside = false;
// O_PATH handles of the real nodes bound back into the fresh /dev (fuse: for the
// simulated kernel, where the machine has it).
constexpr std::array<const char*, 5> dev_nodes = {"null", "zero", "full", "urandom", "fuse"};
std::array<int, 5> saved_dev{-1, -1, -1, -1, -1};
pid_t kernel_pid = -1;
constexpr long fuse_magic = 0x65735546;
constexpr off_t pru_ram_phys = 0x4A310000;
constexpr size_t pru_ram_size = 0x3000;
volatile uint32_t* ram_view = nullptr;

struct serial_line {
    int bus = -1;
    int master = -1;
    std::thread echo;
    std::atomic<bool> stop{false};

    ~serial_line() { hang_up(); }
    void hang_up()
    {
        stop = true;
        if (echo.joinable()) echo.join();
        if (master >= 0) close(master);
        master = -1;
    }
};
std::vector<std::unique_ptr<serial_line>> lines;

[[noreturn]] void die(const char* what, const std::string& path)
{
    std::fprintf(stderr, "sandbox: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
    std::abort();
}

void check(int rc, const char* what, const std::string& path)
{
    if (rc != 0) die(what, path);
}

void write_file(const char* path, const char* text)
{
    const int f = open(path, O_WRONLY);
    if (f < 0 || write(f, text, std::strlen(text)) < 0) die("write", path);
    close(f);
}

void make_parents(const std::string& path)
{
    for (size_t i = 1; (i = path.find('/', i)) != std::string::npos; ++i) {
        const std::string dir = path.substr(0, i);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) die("mkdir", dir);
    }
}

void stop_serial() { lines.clear(); }

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
    if (inside) return true;
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
    inside = true;
    return true;
}

bool entered() { return inside; }

namespace {

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

}  // namespace

void reset()
{
    if (!inside) return;
    stop_kernel();
    stop_serial();
    if (ram_view != nullptr) munmap(const_cast<uint32_t*>(ram_view), pru_ram_size);
    ram_view = nullptr;
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
        check(truncate("/dev/mem", pru_ram_phys + static_cast<off_t>(pru_ram_size)), "truncate", "/dev/mem");
    }
}

void put(const std::string& path, std::string_view content)
{
    make_parents(path);
    const int f = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (f < 0) die("create", path);
    if (!content.empty() && write(f, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        die("write", path);
    close(f);
}

std::string get(const std::string& path)
{
    const int f = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (f < 0) die("open", path);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(f, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(f);
    return out;
}

void make_dir(const std::string& path)
{
    make_parents(path + "/");
}

void remove(const std::string& path)
{
    if (unlink(path.c_str()) != 0 && rmdir(path.c_str()) != 0) die("remove", path);
}

void make_fifo(const std::string& path)
{
    make_parents(path);
    ::unlink(path.c_str());
    check(mkfifo(path.c_str(), 0644), "mkfifo", path);
}

void bind(const std::string& src, const std::string& dst, bool read_only)
{
    struct stat st{};
    if (stat(dst.c_str(), &st) != 0) put(dst, "");
    check(mount(src.c_str(), dst.c_str(), nullptr, MS_BIND, nullptr), "bind over", dst);
    if (read_only)
        check(mount(nullptr, dst.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr),
              "remount read-only", dst);
}

namespace {
std::string eqep_dir(int ch)
{
    static constexpr std::array<const char*, 3> dirs = {
        "/sys/devices/platform/ocp/48300000.epwmss/48300180.eqep",
        "/sys/devices/platform/ocp/48302000.epwmss/48302180.eqep",
        "/sys/devices/platform/ocp/48304000.epwmss/48304180.eqep",
    };
    return dirs.at(static_cast<size_t>(ch - 1));
}
}  // namespace

void add_eqep()
{
    for (int ch = 1; ch <= 3; ++ch) {
        put(eqep_dir(ch) + "/enabled", "0\n");
        put(eqep_dir(ch) + "/position", "0\n");
    }
}
std::string eqep_enabled(int ch) { return eqep_dir(ch) + "/enabled"; }

void eqep_as_counter(int ch)
{
    remove(eqep_enabled(ch));
    remove(eqep_position(ch));
    for (const char* a : {"count0/count", "count0/ceiling", "count0/enable"})
        put(std::string("/sys/bus/counter/devices/counter0/") + a, "0\n");
    const std::string dir = eqep_dir(ch);
    put("/sys/bus/counter/devices/counter0/name", dir.substr(dir.rfind('/') + 1, 8) + ".counter\n");
}
std::string eqep_position(int ch) { return eqep_dir(ch) + "/position"; }

void add_dev_mem()
{
    put("/dev/mem", "");
    check(truncate("/dev/mem", pru_ram_phys + static_cast<off_t>(pru_ram_size)), "truncate", "/dev/mem");
}

volatile uint32_t* pru_shared_ram()
{
    if (ram_view != nullptr) return ram_view;
    const int f = open("/dev/mem", O_RDWR | O_CLOEXEC);
    if (f < 0) die("open", "/dev/mem");
    void* m = mmap(nullptr, pru_ram_size, PROT_READ | PROT_WRITE, MAP_SHARED, f, pru_ram_phys);
    close(f);
    if (m == MAP_FAILED) die("map", "/dev/mem");
    ram_view = static_cast<volatile uint32_t*>(m);
    return ram_view;
}

int add_serial(int bus, bool echo)
{
    auto* l = lines.emplace_back(std::make_unique<serial_line>()).get();
    l->bus = bus;
    l->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (l->master < 0) die("open", "/dev/ptmx");
    check(grantpt(l->master), "grantpt", "/dev/ptmx");
    check(unlockpt(l->master), "unlockpt", "/dev/ptmx");
    const std::string slave = ptsname(l->master);
    // The master's side must not cook what it echoes back.
    termios t{};
    tcgetattr(l->master, &t);
    cfmakeraw(&t);
    tcsetattr(l->master, TCSANOW, &t);
    bind(slave, "/dev/ttyS" + std::to_string(bus));
    if (echo) {
        l->echo = std::thread([l] {
            char buf[256];
            while (!l->stop) {
                pollfd p{l->master, POLLIN, 0};
                if (poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) continue;
                const ssize_t n = read(l->master, buf, sizeof buf);
                if (n > 0 && write(l->master, buf, static_cast<size_t>(n)) < 0) break;
            }
        });
    }
    return l->master;
}

// The simulated kernel names the generations it models: they are defined there alone.
const std::vector<std::string>& profiles()
{
    static const std::vector<std::string> all = [] {
        std::vector<std::string> names;
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
    if (!inside) {
        errno = EPERM;
        die("boot outside the sandbox:", profile);
    }
    if (kernel_pid > 0) stop_kernel();
    if (access("/dev/mem", F_OK) != 0) add_dev_mem();
    const pid_t pid = fork();
    if (pid < 0) die("fork for", HX_SIMKERNEL);
    if (pid == 0) {
        execl(HX_SIMKERNEL, "hx_simkernel", "--profile", profile.c_str(), static_cast<char*>(nullptr));
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

// The model's record reads "<us> <device> <output> <attribute> <value> <writer>" a line.
std::vector<pwm_change> pwm_record()
{
    std::istringstream in(get("/sys/hxsim/pwm"));
    std::vector<pwm_change> out;
    pwm_change c;
    while (in >> c.t_us >> c.device >> c.output >> c.attr >> c.value >> c.writer) out.push_back(c);
    return out;
}

std::string find_device(const std::string& class_dir, const std::string& device)
{
    const char* const names[] = {device.c_str()};
    char path[256];
    return hx::sysfs::find_device(class_dir.c_str(), "", names, 1, path, sizeof path) >= 0 ? path : "";
}

void hang_up(int bus)
{
    for (auto& l : lines)
        if (l->bus == bus) l->hang_up();
}

}  // namespace sandbox
