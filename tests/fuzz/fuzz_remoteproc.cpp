// The PRU service's reading of remoteproc: any bytes in a core's `name` and `state`,
// and any firmware name a caller passes. Oracles: the core is stopped exactly when
// its name is the PRU's ("4a334000.pru", with or without the kernel's newline) and its
// state reads "running" as the kernel writes it; a start writes exactly a valid file
// name and refuses the rest.
#include <hx/pru.h>
#include <sim/sandbox.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

const std::string rp0 = "/sys/class/remoteproc/remoteproc0";
const std::string rp1 = "/sys/class/remoteproc/remoteproc1";  // where a board without names has core 0

bool starts_with(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string why;
    if (!sandbox::enter(&why)) {
        std::fprintf(stderr, "fuzz_remoteproc needs a mount namespace: %s\n", why.c_str());
        std::exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // name | state | firmware, split at the first two 0xff bytes.
    const std::string in(reinterpret_cast<const char*>(data), size);
    const size_t a = in.find('\xff');
    const size_t b = a == std::string::npos ? std::string::npos : in.find('\xff', a + 1);
    if (b == std::string::npos || in.size() > 600) return 0;
    const std::string name = in.substr(0, a), state = in.substr(a + 1, b - a - 1), fw = in.substr(b + 1);

    sandbox::put(rp0 + "/name", name);
    sandbox::put(rp0 + "/state", state);
    sandbox::put(rp1 + "/state", "running\n");
    sandbox::put(rp0 + "/firmware", "");
    sandbox::put(rp1 + "/firmware", "");
    hx_pru_stop(0);

    const bool is_pru = name == "4a334000.pru" || name == "4a334000.pru\n";
    const bool not_pru = !starts_with(name, "4a334000.pru");
    const bool running = state == "running" || state == "running\n";
    const bool not_running = !starts_with(state, "running");
    // (A state that already reads "stop" hides a write of it; it is not running either.)
    const bool stopped0 = state != "stop" && sandbox::get(rp0 + "/state") == "stop";
    const bool stopped1 = sandbox::get(rp1 + "/state") == "stop";
    if ((is_pru && running && !stopped0) || (is_pru && not_running && stopped0) || (is_pru && stopped1) ||
        (not_pru && (stopped0 || !stopped1))) {
        std::abort();
    }

    const std::string c_name = fw.substr(0, fw.find('\0'));
    sandbox::put(rp0 + "/state", "offline\n");
    sandbox::put(rp0 + "/name", "4a334000.pru\n");
    const int rc = hx_pru_start(0, c_name.c_str());
    const bool valid = !c_name.empty() && c_name.size() <= 255 && c_name.find('/') == std::string::npos;
    if ((rc == 0) != valid || (valid && sandbox::get(rp0 + "/firmware") != c_name)) std::abort();
    return 0;
}
