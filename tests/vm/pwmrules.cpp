// pwmrules: the PWM class's rules as a kernel answers them, one "RULE name answer" line
// each (OK or the errno's name), on the eHRPWM0 unit (48300200, two outputs on one time
// base) and eCAP0 (48300100). Run in the board VM against the real drivers and on the
// simulated kernel of the matching profile: the two outputs must be the same.
//
//   pwmrules
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

std::string chip_of(const char* device)
{
    DIR* d = opendir("/sys/class/pwm");
    std::string found;
    while (d != nullptr && found.empty()) {
        const dirent* e = readdir(d);
        if (e == nullptr) break;
        char link[512] = {};
        const std::string dev = std::string("/sys/class/pwm/") + e->d_name + "/device";
        const ssize_t n = readlink(dev.c_str(), link, sizeof link - 1);
        if (n > 0 && std::strstr(link, device) != nullptr) found = std::string("/sys/class/pwm/") + e->d_name;
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

}  // namespace

int main()
{
    const std::string e = chip_of("48300200"), c = chip_of("48300100");
    if (e.empty() || c.empty()) {
        std::printf("RULE units-found no\n");
        return 1;
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
    return 0;
}
