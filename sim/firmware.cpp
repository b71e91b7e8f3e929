#include "sim/firmware.h"

#include "internal.h"
#include "sim/sandbox.h"

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/utsname.h>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace firmware {

namespace {

#ifdef HX_ENCODER_IMAGE
constexpr const char* encoder_image = HX_ENCODER_IMAGE;
constexpr const char* servo_image = HX_SERVO_IMAGE;
constexpr const char* images = HX_SIM_IMAGES;
#else
constexpr const char* encoder_image = "";
constexpr const char* servo_image = "";
constexpr const char* images = "";
#endif

std::string core_cmd(int core, const std::string& rest) { return "pru " + std::to_string(core) + " " + rest; }

long long number(const std::string& v) { return v.empty() ? 0 : std::stoll(v); }

std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) sandbox::internal::die("read", path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace

bool built() { return *encoder_image != '\0'; }

std::string search_text()
{
    utsname u{};
    uname(&u);
    const std::string r = u.release;
    return std::string(dir) + ", /lib/firmware/updates/" + r + ", /lib/firmware/updates, /lib/firmware/" + r +
           " or /lib/firmware";
}

const char* not_built()
{
    return "the PRU firmware images are not built: run `sudo firmware/binutils.sh` once (about 2 minutes), "
           "then build again";
}

void install(const std::string& name, const std::string& image)
{
    const std::string path = std::string(dir) + "/" + name;
    if (image == "absent") {
        ::unlink(path.c_str());
        return;
    }
    if (!built()) sandbox::internal::die("install (not built)", image);
    if (image == "garbage") sandbox::put(path, "#!/bin/sh\n# A script saved under a firmware's name: as long as an ELF header, and no ELF.\n");
    else if (image == "encoder") sandbox::put(path, slurp(encoder_image));
    else if (image == "servo") sandbox::put(path, slurp(servo_image));
    else sandbox::put(path, slurp(std::string(images) + "/" + image));
}

void install_defaults()
{
    sandbox::make_dir(dir);
    if (DIR* d = opendir(dir)) {
        while (const dirent* e = readdir(d))
            if (e->d_name[0] != '.') ::unlinkat(dirfd(d), e->d_name, 0);
        closedir(d);
    }
    if (!built()) return;
    install("am335x-pru0-hx-encoder-fw", "encoder");
    install("am335x-pru1-hx-servo-fw", "servo");
    install("am335x-pru0-fw", "silent");
    install("am335x-pru1-fw", "silent");
}

void turn(long long rate) { sandbox::steer(core_cmd(0, "wheel " + std::to_string(rate))); }

void walk(const std::string& steps, uint64_t spacing)
{
    // The control file takes a page a write.
    for (size_t at = 0; at < steps.size(); at += 3000)
        sandbox::steer(core_cmd(0, "walk " + std::to_string(spacing) + " " + steps.substr(at, 3000)));
}

// Real time is only a limit here: the walk is in the core's time.
bool settle()
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    long long from = -1;
    while (std::chrono::steady_clock::now() < limit) {
        const long long cycle = number(report("cycle"));
        if (from < 0 && report("pending") == "0") from = cycle;
        if (from >= 0 && cycle >= from + 1000) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

void hold(int core) { sandbox::steer(core_cmd(core, "hold")); }
void release(int core) { sandbox::steer(core_cmd(core, "release")); }

// The report reads "core N key value key value ..." a line.
std::string report(const std::string& field, int core)
{
    std::istringstream all(sandbox::get("/sys/hxsim/pru"));
    std::string line;
    while (std::getline(all, line)) {
        std::istringstream l(line);
        std::string word, value;
        int n = -1;
        l >> word >> n;
        if (n != core) continue;
        while (l >> word >> value)
            if (word == field) return value;
    }
    return "";
}

std::vector<r30_change> r30(int core)
{
    std::istringstream in(sandbox::get("/sys/hxsim/r30"));
    std::vector<r30_change> out;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream l(line);
        int n = -1;
        unsigned long long cycle = 0;
        uint32_t value = 0;
        if (l >> n >> cycle >> std::hex >> value && n == core) out.push_back({cycle, value});
    }
    return out;
}

std::vector<pulse> pulses(const std::vector<r30_change>& record, int ch)
{
    const uint32_t bit = 1u << servo_bit[ch];
    std::vector<pulse> out;
    uint32_t was = 0;
    for (const r30_change& c : record) {
        if ((c.value & bit) && !(was & bit)) out.push_back({c.cycle, 0});
        if (!(c.value & bit) && (was & bit)) out.back().fall = c.cycle;
        was = c.value;
    }
    return out;
}

uint32_t foreign_bits(const std::vector<r30_change>& record)
{
    uint32_t bits = 0;
    for (const r30_change& c : record) bits |= c.value & ~0xff0u;
    return bits;
}

uint32_t servo_taken() { return sandbox::pru_data_ram(1)[2]; }

uint32_t servo_written()
{
    uint32_t n = 0;
    for (int slot = 0; slot < 16; ++slot) {
        const uint32_t number = sandbox::pru_data_ram(1)[0x40 / 4 + 8 * slot];
        n = std::max(n, number);
    }
    return n;
}

bool servo_settle(uint32_t n)
{
    constexpr long long past_cycles = 5000000;  // 25 ms
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    long long from = -1;
    while (std::chrono::steady_clock::now() < limit) {
        if (state(1) != "running") return true;  // a stopped core sends nothing more
        const bool done = servo_taken() == n && report("r30", 1) == "0";
        const long long cycle = number(report("cycle", 1));
        if (from < 0 && done) from = cycle;
        if (from >= 0 && cycle >= from + past_cycles) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

int starts_seen(int core) { return static_cast<int>(number(report("starts", core))); }
int stops_seen(int core) { return static_cast<int>(number(report("stops", core))); }
uint32_t word_at_stop(int core) { return static_cast<uint32_t>(number(report("word-at-stop", core))); }
std::string state(int core) { return report("state", core); }

}  // namespace firmware
