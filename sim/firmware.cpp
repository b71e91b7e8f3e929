#include "sim/firmware.h"

#include "sim/sandbox.h"

#include <sstream>

namespace firmware {

namespace {

// The emulator's line for a core: "core N state S firmware F starts A stops B".
std::string field(int core, const std::string& key)
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
            if (word == key) return value;
    }
    return "";
}

std::string core_cmd(int core, const std::string& rest)
{
    std::string cmd = "pru ";
    cmd += std::to_string(core);
    cmd += ' ';
    cmd += rest;
    return cmd;
}

int number(int core, const std::string& key)
{
    const std::string v = field(core, key);
    return v.empty() ? 0 : std::stoi(v);
}

}  // namespace

void handshake(const std::string& how, int core) { sandbox::steer(core_cmd(core, "handshake " + how)); }
void clear(int core) { sandbox::steer(core_cmd(core, "clear")); }
void set_step(int step, int core) { sandbox::steer(core_cmd(core, "step " + std::to_string(step))); }
void install(const std::string& name, const std::string& kind) { sandbox::steer("firmware " + name + " " + kind); }
int starts_seen(int core) { return number(core, "starts"); }
int stops_seen(int core) { return number(core, "stops"); }
uint32_t word_at_stop(int core)
{
    const std::string v = field(core, "word-at-stop");
    return v.empty() ? 0 : static_cast<uint32_t>(std::stoul(v));
}
std::string state(int core) { return field(core, "state"); }

}  // namespace firmware
