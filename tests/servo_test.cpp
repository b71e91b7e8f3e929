// The servo service on the PWM class of every kernel generation's simulated kernel:
// strict (up to 6.10: every write must leave a valid state) and lenient (6.11+).
#include "support/capture.h"
#include "support/kernels.h"

#include <hx/servo.h>
#include <sim/sandbox.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <chrono>
#include <ctime>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

// The eight outputs: unit device address and output number.
const std::vector<std::pair<std::string, int>> outputs = {
    {"48300200", 0}, {"48300200", 1}, {"48302200", 0}, {"48302200", 1},
    {"48304200", 0}, {"48304200", 1}, {"48300100", 0}, {"48302100", 0},
};

bool is_dir(const std::string& p)
{
    struct stat st{};
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The pwmchipN directory of a unit, whatever its device suffix.
std::string chip_of(const std::string& unit)
{
    for (const char* suffix : {".pwm", ".ecap"}) {
        const std::string c = sandbox::find_device("/sys/class/pwm", unit + suffix);
        if (!c.empty()) return c;
    }
    return "";
}

// An exported output's directory under either name, or "".
std::string output_dir(const std::string& unit, int k)
{
    const std::string chip = chip_of(unit);
    const std::string plain = chip + "/pwm" + std::to_string(k);
    const std::string dashed = chip + "/pwm-" + chip.substr(chip.rfind("pwmchip") + 7) + ":" + std::to_string(k);
    return is_dir(plain) ? plain : is_dir(dashed) ? dashed : "";
}

// The time and value of the last change the PWM model recorded for an attribute.
std::pair<long long, std::string> last_record(const std::string& unit, int k, const std::string& a)
{
    std::pair<long long, std::string> last{0, ""};
    for (const auto& c : sandbox::pwm_record())
        if (c.device.rfind(unit, 0) == 0 && c.output == k && c.attr == a) last = {c.t_us, c.value};
    return last;
}

std::string last_recorded(const std::string& unit, int k, const std::string& a)
{
    return last_record(unit, k, a).second;
}

// Every change recorded for an output, "attr value" joined by ", ".
std::string recorded(const std::string& unit, int k)
{
    std::string all;
    for (const auto& c : sandbox::pwm_record())
        if (c.device.rfind(unit, 0) == 0 && c.output == k) all += (all.empty() ? "" : ", ") + c.attr + " " + c.value;
    return all;
}

long long now_us()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void expect_nothing_exported()
{
    for (const auto& [unit, k] : outputs) EXPECT_EQ(output_dir(unit, k), "") << unit << " " << k;
}

class Servo : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        sandbox::reset();
        sandbox::boot(GetParam());
    }
    void TearDown() override
    {
        if (sandbox::entered()) stderr_of(hx_servo_cleanup);
    }
};

TEST_P(Servo, InitStartsAllEightOutputsAndPulsesSetTheWidth)
{
    ASSERT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_init(), 0); }), "");
    // Read from the model's record, which the service's guardian cannot race.
    for (const auto& [unit, k] : outputs) {
        EXPECT_EQ(recorded(unit, k), "period 20000000, duty_cycle 0, enable 1") << unit << " " << k;
    }
    // An ESC width w is a 1000 + 1000 w microsecond pulse; channel 0 is every channel.
    ASSERT_EQ(hx_servo_send_esc_pulse_normalized(0, 1.0), 0);
    ASSERT_EQ(hx_servo_send_esc_pulse_normalized(3, 0.25), 0);
    ASSERT_EQ(hx_servo_send_pulse_us(8, 1500), 0);
    for (size_t i = 0; i < outputs.size(); ++i) {
        const auto& [unit, k] = outputs[i];
        EXPECT_EQ(last_recorded(unit, k, "duty_cycle"), i == 2 ? "1250000" : i == 7 ? "1500000" : "2000000") << i;
    }

    EXPECT_EQ(hx_servo_cleanup(), 0);
    expect_nothing_exported();
    for (const auto& [unit, k] : outputs) {
        EXPECT_EQ(last_recorded(unit, k, "enable"), "0") << unit << " " << k;
        EXPECT_EQ(last_recorded(unit, k, "duty_cycle"), "0") << unit << " " << k;
    }
}

// A PWM unit repeats its width until told otherwise: the service's guardian stops an
// output that has had no pulse for three periods, and the next pulse starts it again.
TEST_P(Servo, AnOutputWithoutPulsesStopsAfterThreePeriodsAndThePulsesBringItBack)
{
    ASSERT_EQ(hx_servo_init(), 0);
    for (int i = 0; i < 15; ++i) {  // 300 ms of pulses every 20 ms: it runs on
        ASSERT_EQ(hx_servo_send_pulse_us(1, 2000), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(last_recorded("48300200", 0, "enable"), "1");
    const long long last_pulse = now_us();
    ASSERT_EQ(hx_servo_send_pulse_us(1, 2000), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const auto [stop_t, stop_v] = last_record("48300200", 0, "enable");
    EXPECT_EQ(stop_v, "0");
    EXPECT_GE(stop_t - last_pulse, 60000);
    EXPECT_LE(stop_t - last_pulse, 100000);
    EXPECT_EQ(last_recorded("48300200", 0, "duty_cycle"), "0");

    ASSERT_EQ(hx_servo_send_pulse_us(1, 1200), 0);
    EXPECT_EQ(last_recorded("48300200", 0, "enable"), "1");
    EXPECT_EQ(last_recorded("48300200", 0, "duty_cycle"), "1200000");
}

TEST_P(Servo, AnOutputSomeoneLeftRunningIsTakenOverInAnOrderTheKernelAccepts)
{
    // Output B of eHRPWM0 exported and running at 1 ms with a 0.9 ms pulse.
    const std::string chip = chip_of("48300200");
    sandbox::put(chip + "/export", "1");
    const std::string dir = output_dir("48300200", 1);
    ASSERT_NE(dir, "");
    sandbox::put(dir + "/period", "1000000");
    sandbox::put(dir + "/duty_cycle", "900000");
    sandbox::put(dir + "/enable", "1");

    ASSERT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_init(), 0); }), "");
    EXPECT_EQ(recorded("48300200", 1), "period 1000000, duty_cycle 900000, enable 1, "
                                       "enable 0, duty_cycle 0, period 20000000, enable 1");
    EXPECT_EQ(hx_servo_cleanup(), 0);
    // Not exported by the service: it stays, stopped.
    EXPECT_EQ(output_dir("48300200", 1), dir);
    EXPECT_EQ(sandbox::get(dir + "/enable"), "0\n");
}

TEST_P(Servo, ABoardWithoutTheECapsStartsTheRest)
{
    sandbox::steer("remove " + chip_of("48300100"));
    sandbox::steer("remove " + chip_of("48302100"));
    ASSERT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_init(), 0); }), "");
    EXPECT_EQ(last_recorded("48304200", 1, "enable"), "1");
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_send_pulse_us(7, 1500), -1); }),
              "ERROR in hx_servo_send_pulse_us, channel 7 has no PWM output on this board\n");
    EXPECT_EQ(hx_servo_send_pulse_us(0, 1500), 0);
    EXPECT_EQ(last_recorded("48300200", 0, "duty_cycle"), "1500000");
}

TEST_P(Servo, AStepTheKernelRefusesUndoesTheWholeInit)
{
    // The third eHRPWM's outputs are held by a kernel driver: export answers EBUSY.
    const std::string chip = chip_of("48304200");
    sandbox::steer("fail " + chip + "/export write " + std::to_string(EBUSY));
    const std::string err = stderr_of([] { EXPECT_EQ(hx_servo_init(), -1); });
    EXPECT_EQ(err, "ERROR in hx_servo_init, can't write " + chip + "/export: Device or resource busy\n");
    // The four outputs started before it are stopped and released again.
    for (int ch = 1; ch <= 4; ++ch) {
        const auto& [unit, k] = outputs[static_cast<size_t>(ch - 1)];
        EXPECT_EQ(output_dir(unit, k), "") << ch;
        EXPECT_EQ(last_recorded(unit, k, "enable"), "0") << ch;
    }
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_send_pulse_us(1, 1500), -1); }),
              "ERROR in hx_servo_send_pulse_us, call hx_servo_init first\n");
}

TEST_P(Servo, OutOfRangeWidthsChannelsAndCallsBeforeInitAreRefused)
{
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_send_esc_pulse_normalized(1, 0.5), -1); }),
              "ERROR in hx_servo_send_pulse_us, call hx_servo_init first\n");
    ASSERT_EQ(hx_servo_init(), 0);
    for (double w : {-0.01, 1.01, 0.0 / 0.0}) {
        EXPECT_EQ(stderr_of([&] { EXPECT_EQ(hx_servo_send_esc_pulse_normalized(1, w), -1); }),
                  "ERROR in hx_servo_send_esc_pulse_normalized, width must be 0.0 to 1.0\n");
    }
    for (int ch : {-1, 9}) {
        EXPECT_EQ(stderr_of([&] { EXPECT_EQ(hx_servo_send_pulse_us(ch, 1500), -1); }),
                  "ERROR in hx_servo_send_pulse_us, channel must be 0 (all) to 8\n");
    }
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_send_pulse_us(1, 20000), -1); }),
              "ERROR in hx_servo_send_pulse_us, pulse must be 1 to 19999 us\n");
    EXPECT_EQ(last_recorded("48300200", 0, "duty_cycle"), "0");
}

TEST_P(Servo, AUnitThatVanishesFailsItsPulsesAndTheOthersGoOn)
{
    ASSERT_EQ(hx_servo_init(), 0);
    const std::string chip = chip_of("48302200");
    const std::string a = output_dir("48302200", 0), b = output_dir("48302200", 1);
    // The unit's device goes (a driver unbound, a module removed).
    char device[512];
    ASSERT_NE(realpath((chip + "/device").c_str(), device), nullptr);
    sandbox::steer(std::string("unplug ") + device);
    const std::string err = stderr_of([] { EXPECT_EQ(hx_servo_send_pulse_us(0, 1700), -1); });
    EXPECT_EQ(err, "ERROR in hx_servo_send_pulse_us, can't write " + a + "/duty_cycle: No such file or directory\n"
                   "ERROR in hx_servo_send_pulse_us, can't write " + b + "/duty_cycle: No such file or directory\n");
    EXPECT_EQ(last_recorded("48300200", 0, "duty_cycle"), "1700000");
    EXPECT_EQ(last_recorded("48304200", 1, "duty_cycle"), "1700000");
    // The lost unit cannot be stopped; the others are.
    EXPECT_NE(stderr_of([] { EXPECT_EQ(hx_servo_cleanup(), -1); }), "");
    EXPECT_EQ(last_recorded("48300200", 0, "enable"), "0");
    EXPECT_EQ(last_recorded("48304200", 1, "enable"), "0");
}

INSTANTIATE_ON_EVERY_KERNEL(Servo);

TEST(ServoBareBoard, WithNoPwmUnitInitFailsAndLeavesNothing)
{
    REQUIRE_SANDBOX();
    sandbox::reset();
    sandbox::boot("bare");
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_init(), -1); }),
              "ERROR in hx_servo_init, no PWM unit of the board in /sys/class/pwm: is the PWM overlay loaded?\n");
    EXPECT_TRUE(sandbox::pwm_record().empty());
}

}  // namespace
