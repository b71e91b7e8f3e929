// Plain files in the sandbox: what tests lay out by hand (texts no driver writes,
// faults only a file can give), the vendor 4.x eQEP attributes as plain files, and the
// sparse /dev/mem that stands in for the PRU shared RAM.
#include "internal.h"
#include "sim/sandbox.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sandbox {

using internal::check;
using internal::die;
using internal::pru_ram_phys;
using internal::pru_ram_size;
using internal::pru_data_phys;
using internal::pru_data_size;

namespace {

volatile uint32_t* ram_view = nullptr;
volatile uint32_t* data_view[2] = {nullptr, nullptr};

volatile uint32_t* map_dev_mem(off_t at, size_t bytes)
{
    const int f = open("/dev/mem", O_RDWR | O_CLOEXEC);
    if (f < 0) die("open", "/dev/mem");
    void* m = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, f, at);
    close(f);
    if (m == MAP_FAILED) die("map", "/dev/mem");
    return static_cast<volatile uint32_t*>(m);
}

void make_parents(const std::string& path)
{
    for (size_t i = 1; (i = path.find('/', i)) != std::string::npos; ++i) {
        const std::string dir = path.substr(0, i);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) die("mkdir", dir);
    }
}

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

namespace internal {

void forget_ram()
{
    if (ram_view != nullptr) munmap(const_cast<uint32_t*>(ram_view), pru_ram_size);
    ram_view = nullptr;
    for (auto& v : data_view) {
        if (v != nullptr) munmap(const_cast<uint32_t*>(v), pru_data_size);
        v = nullptr;
    }
}

}  // namespace internal

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
    if (ram_view == nullptr) ram_view = map_dev_mem(pru_ram_phys, pru_ram_size);
    return ram_view;
}

volatile uint32_t* pru_data_ram(int core)
{
    volatile uint32_t*& v = data_view[core == 0 ? 0 : 1];
    if (v == nullptr) v = map_dev_mem(pru_data_phys + (core == 0 ? 0 : off_t{0x2000}), pru_data_size);
    return v;
}

}  // namespace sandbox
