// rules: the rules of the board's driver classes as a kernel answers them, one "RULE
// name answer" line each (OK or the errno's name): the PWM class on the eHRPWM0 unit
// (48300200, two outputs on one time base) and eCAP0 (48300100), the counter class on
// eQEP0 (48300180.counter), remoteproc on PRU0 (4a334000.pru). Run in the board VM
// against the real drivers and on the simulated kernel of the matching profile: the two
// outputs must be the same.
//
//   rules pwm|counter|remoteproc ...
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
    case ERANGE: return "ERANGE";
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

void pwm()
{
    const std::string e = find("/sys/class/pwm", "48300200"), c = find("/sys/class/pwm", "48300100");
    if (e.empty() || c.empty()) {
        std::printf("RULE pwm-units-found no\n");
        return;
    }
    const std::string a = e + "/pwm0/", b = e + "/pwm1/", p = c + "/pwm0/";
    rule("export", put(e + "/export", "0"));
    rule("export-again", put(e + "/export", "0"));
    rule("export-past-npwm", put(e + "/export", "2"));
    rule("width-before-period", put(a + "duty_cycle", "1000"));
    rule("enable-with-period-0", put(a + "enable", "1"));
    rule("period", put(a + "period", "20000000"));
    rule("width-above-period-disabled", put(a + "duty_cycle", "30000000"));
    put(a + "duty_cycle", "0");
    rule("width", put(a + "duty_cycle", "1500000"));
    rule("enable", put(a + "enable", "1"));
    rule("width-above-period-enabled", put(a + "duty_cycle", "30000000"));
    rule("period-below-width-enabled", put(a + "period", "1000000"));
    rule("enable-again", put(a + "enable", "1"));
    rule("other-output-export", put(e + "/export", "1"));
    rule("other-output-other-period-disabled", put(b + "period", "10000000"));
    rule("other-output-enable-other-period", put(b + "enable", "1"));
    rule("other-output-same-period", put(b + "period", "20000000"));
    rule("other-output-enable-same-period", put(b + "enable", "1"));
    rule("enable-not-0-or-1", put(a + "enable", "2"));
    rule("period-not-a-number", put(a + "period", "x"));
    rule("unexport-enabled", put(e + "/unexport", "1"));
    rule("unexport", put(e + "/unexport", "0"));
    rule("unexport-again", put(e + "/unexport", "0"));
    rule("ecap-export", put(c + "/export", "0"));
    rule("ecap-width-before-period", put(p + "duty_cycle", "1000"));
    rule("ecap-enable-with-period-0", put(p + "enable", "1"));
    rule("ecap-period", put(p + "period", "20000000"));
    rule("ecap-enable", put(p + "enable", "1"));
    rule("ecap-width-above-period-enabled", put(p + "duty_cycle", "30000000"));
    rule("ecap-unexport", put(c + "/unexport", "0"));
}

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

void remoteproc()
{
    const std::string r = find("/sys/class/remoteproc", "4a334000.pru");
    if (r.empty()) {
        std::printf("RULE remoteproc-found no\n");
        return;
    }
    rule("rproc-firmware-empty", put(r + "/firmware", "\n"));
    rule("rproc-firmware-missing-file", put(r + "/firmware", "hx-no-such-image"));
    rule("rproc-start-missing-file", put(r + "/state", "start"));
    rule("rproc-stop-offline", put(r + "/state", "stop"));
    rule("rproc-state-unknown", put(r + "/state", "bogus"));
    rule("rproc-firmware", put(r + "/firmware", "am335x-pru0-hx-encoder-fw"));
    rule("rproc-start", put(r + "/state", "start"));
    rule("rproc-start-running", put(r + "/state", "start"));
    rule("rproc-firmware-running", put(r + "/firmware", "am335x-pru0-fw"));
    rule("rproc-stop", put(r + "/state", "stop"));
    rule("rproc-stop-again", put(r + "/state", "stop"));
    put(r + "/firmware", "am335x-pru0-fw");
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string c = argv[i];
        if (c == "pwm") pwm();
        else if (c == "counter") counter();
        else if (c == "remoteproc") remoteproc();
    }
    return 0;
}
