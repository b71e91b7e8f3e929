// The servo service on the PWM class of every kernel generation's simulated kernel:
// strict (up to 6.10: every write must leave a valid state) and lenient (6.11+).
#include "support/capture.h"
#include "support/kernels.h"

#include <hx/servo.h>
#include <sim/sandbox.h>

#include <cerrno>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
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

std::string attr(int channel, const char* a)
{
    const auto& [unit, k] = outputs[static_cast<size_t>(channel - 1)];
    return sandbox::get(output_dir(unit, k) + "/" + a);
}

// The last value the PWM model recorded for an output's attribute.
std::string last_recorded(const std::string& unit, int k, const std::string& a)
{
    std::istringstream record(sandbox::pwm_record());
    std::string line, last;
    while (std::getline(record, line)) {
        std::istringstream l(line);
        std::string t, dev, out, name, value;
        l >> t >> dev >> out >> name >> value;
        if (dev.rfind(unit, 0) == 0 && out == std::to_string(k) && name == a) last = value;
    }
    return last;
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
    for (int ch = 1; ch <= HX_SERVO_CHANNELS; ++ch) {
        EXPECT_EQ(attr(ch, "period"), "20000000\n") << ch;
        EXPECT_EQ(attr(ch, "duty_cycle"), "0\n") << ch;
        EXPECT_EQ(attr(ch, "enable"), "1\n") << ch;
    }
    // An ESC width w is a 1000 + 1000 w microsecond pulse; channel 0 is every channel.
    ASSERT_EQ(hx_servo_send_esc_pulse_normalized(0, 1.0), 0);
    for (int ch = 1; ch <= HX_SERVO_CHANNELS; ++ch) EXPECT_EQ(attr(ch, "duty_cycle"), "2000000\n") << ch;
    ASSERT_EQ(hx_servo_send_esc_pulse_normalized(3, 0.25), 0);
    EXPECT_EQ(attr(3, "duty_cycle"), "1250000\n");
    EXPECT_EQ(attr(4, "duty_cycle"), "2000000\n");
    ASSERT_EQ(hx_servo_send_pulse_us(8, 1500), 0);
    EXPECT_EQ(attr(8, "duty_cycle"), "1500000\n");

    EXPECT_EQ(hx_servo_cleanup(), 0);
    expect_nothing_exported();
    for (const auto& [unit, k] : outputs) {
        EXPECT_EQ(last_recorded(unit, k, "enable"), "0") << unit << " " << k;
        EXPECT_EQ(last_recorded(unit, k, "duty_cycle"), "0") << unit << " " << k;
    }
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
    EXPECT_EQ(attr(2, "period"), "20000000\n");
    EXPECT_EQ(attr(2, "duty_cycle"), "0\n");
    EXPECT_EQ(attr(2, "enable"), "1\n");
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
    EXPECT_EQ(attr(6, "enable"), "1\n");
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_send_pulse_us(7, 1500), -1); }),
              "ERROR in hx_servo_send_pulse_us, channel 7 has no PWM output on this board\n");
    EXPECT_EQ(hx_servo_send_pulse_us(0, 1500), 0);
    EXPECT_EQ(attr(1, "duty_cycle"), "1500000\n");
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
    EXPECT_EQ(attr(1, "duty_cycle"), "0\n");
}

INSTANTIATE_ON_EVERY_KERNEL(Servo);

TEST(ServoBareBoard, WithNoPwmUnitInitFailsAndLeavesNothing)
{
    REQUIRE_SANDBOX();
    sandbox::reset();
    sandbox::boot("bare");
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_init(), -1); }),
              "ERROR in hx_servo_init, no PWM unit of the board in /sys/class/pwm: is the PWM overlay loaded?\n");
    EXPECT_EQ(sandbox::pwm_record(), "");
}

}  // namespace
