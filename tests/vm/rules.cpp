// rules: the rules of the board's driver classes as a kernel answers them, one "RULE
// name answer" line each (OK or the errno's name): the counter class on eQEP0
// (48300180.counter), remoteproc on PRU0 (4a334000.pru) and PRU1 (4a338000.pru). Run in
// the board VM against the real drivers and on the simulated kernel of the matching
// profile: the two outputs must be the same.
//
//   rules counter|remoteproc ...
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

// The entry of dir whose device link, or name attribute, holds device.
std::string find(const char* dir, const char* device)
{
    DIR* d = opendir(dir);
    std::string found;
    while (d != nullptr && found.empty()) {
        const dirent* e = readdir(d);
        if (e == nullptr) break;
        if (e->d_name[0] == '.') continue;
        char link[512] = {}, name[128] = {};
        const std::string entry = std::string(dir) + "/" + e->d_name;
        const ssize_t n = readlink((entry + "/device").c_str(), link, sizeof link - 1);
        const int f = open((entry + "/name").c_str(), O_RDONLY);
        if (f >= 0) {
            (void)!read(f, name, sizeof name - 1);
            close(f);
        }
        if ((n > 0 && std::strstr(link, device) != nullptr) || std::strstr(name, device) != nullptr) found = entry;
    }
    if (d != nullptr) closedir(d);
    return found;
}

const char* answer(int err)
{
    switch (err) {
    case 0: return "OK";
    case EINVAL: return "EINVAL";
    case EBUSY: return "EBUSY";
    case ENODEV: return "ENODEV";
    case ENOENT: return "ENOENT";
    default: return std::strerror(err);
    }
}

int put(const std::string& path, const std::string& value)
{
    const int f = open(path.c_str(), O_WRONLY);
    if (f < 0) return errno;
    const int rc = write(f, value.data(), value.size()) < 0 ? errno : 0;
    close(f);
    return rc;
}

void rule(const char* name, int err) { std::printf("RULE %s %s\n", name, answer(err)); }

void counter()
{
    const std::string c = find("/sys/bus/counter/devices", "48300180.counter");
    if (c.empty()) {
        std::printf("RULE counter-found no\n");
        return;
    }
    const std::string n = c + "/count0/";
    rule("counter-ceiling", put(n + "ceiling", "1000"));
    rule("counter-count-below-ceiling", put(n + "count", "999"));
    rule("counter-count-at-ceiling", put(n + "count", "1000"));
    rule("counter-count-above-ceiling", put(n + "count", "5000"));
    rule("counter-count-not-a-number", put(n + "count", "x"));
    rule("counter-count-negative", put(n + "count", "-1"));
    rule("counter-ceiling-full", put(n + "ceiling", "4294967295"));
    rule("counter-ceiling-past-32-bits", put(n + "ceiling", "4294967296"));
    rule("counter-enable", put(n + "enable", "1"));
    rule("counter-enable-2", put(n + "enable", "2"));
    rule("counter-disable", put(n + "enable", "0"));
    rule("counter-count-full", put(n + "count", "4294967295"));
}

// Each core's rules, named after it (rproc- for core 0, rproc1- for core 1).
void remoteproc(const char* device, const char* prefix, const char* image, const char* fallback)
{
    const std::string r = find("/sys/class/remoteproc", device);
    if (r.empty()) {
        std::printf("RULE %sfound no\n", prefix);
        return;
    }
    auto rule_of = [prefix](const char* name, int err) { rule((std::string(prefix) + name).c_str(), err); };
    rule_of("firmware-empty", put(r + "/firmware", "\n"));
    rule_of("firmware-missing-file", put(r + "/firmware", "hx-no-such-image"));
    rule_of("start-missing-file", put(r + "/state", "start"));
    rule_of("stop-offline", put(r + "/state", "stop"));
    rule_of("state-unknown", put(r + "/state", "bogus"));
    rule_of("firmware", put(r + "/firmware", image));
    rule_of("start", put(r + "/state", "start"));
    rule_of("start-running", put(r + "/state", "start"));
    rule_of("firmware-running", put(r + "/firmware", fallback));
    rule_of("stop", put(r + "/state", "stop"));
    rule_of("stop-again", put(r + "/state", "stop"));
    put(r + "/firmware", fallback);
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string c = argv[i];
        if (c == "counter") {
            counter();
        } else if (c == "remoteproc") {
            remoteproc("4a334000.pru", "rproc-", "am335x-pru0-hx-encoder-fw", "am335x-pru0-fw");
            remoteproc("4a338000.pru", "rproc1-", "am335x-pru1-hx-servo-fw", "am335x-pru1-fw");
        }
    }
    return 0;
}
