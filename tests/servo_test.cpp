// The servo service against PWM attributes built in the board sandbox.
#include "support/board_sandbox.h"
#include "support/capture.h"

#include <hx/servo.h>

#include <gtest/gtest.h>
#include <string>

namespace {

class Servo : public testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        sandbox::reset();
    }
    void TearDown() override
    {
        if (sandbox::entered()) stderr_of(hx_servo_cleanup);
    }
    static std::string attr(int i, const char* a) { return sandbox::get(sandbox::pwm_attr(i, a)); }
};

TEST_F(Servo, InitSetsA20msPeriodAndPulsesSetTheWidth)
{
    sandbox::add_pwm();
    ASSERT_EQ(hx_servo_init(), 0);
    for (int i = 0; i < HX_SERVO_CHANNELS; ++i) {
        EXPECT_EQ(attr(i, "period"), "20000000") << i;
        EXPECT_EQ(attr(i, "duty_cycle"), "0") << i;
        EXPECT_EQ(attr(i, "enable"), "1") << i;
    }
    // An ESC width w is a 1000 + 1000 w microsecond pulse; channel 0 is every channel.
    ASSERT_EQ(hx_servo_send_esc_pulse_normalized(0, 1.0), 0);
    for (int i = 0; i < HX_SERVO_CHANNELS; ++i) EXPECT_EQ(attr(i, "duty_cycle"), "2000000") << i;
    ASSERT_EQ(hx_servo_send_esc_pulse_normalized(3, 0.25), 0);
    EXPECT_EQ(attr(2, "duty_cycle"), "1250000");
    EXPECT_EQ(attr(3, "duty_cycle"), "2000000");
    ASSERT_EQ(hx_servo_send_esc_pulse_normalized(0, 0.0), 0);
    EXPECT_EQ(attr(7, "duty_cycle"), "1000000");

    EXPECT_EQ(hx_servo_cleanup(), 0);
    for (int i = 0; i < HX_SERVO_CHANNELS; ++i) {
        EXPECT_EQ(attr(i, "duty_cycle"), "0") << i;
        EXPECT_EQ(attr(i, "enable"), "0") << i;
    }
    EXPECT_EQ(sandbox::get("/sys/class/pwm/pwmchip0/unexport"), "");  // it exported none
}

TEST_F(Servo, OutOfRangeWidthsChannelsAndCallsBeforeInitAreRefused)
{
    sandbox::add_pwm();
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
    EXPECT_EQ(attr(0, "duty_cycle"), "0");
}

TEST_F(Servo, AMissingChipOrChannelFailsInitAndUndoesWhatItStarted)
{
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_init(), -1); }),
              "ERROR in hx_servo_init, /sys/class/pwm/pwmchip0 not found: is the PWM overlay loaded?\n");

    // pwm5 is not exported and the kernel does not create it when asked.
    sandbox::add_pwm(5);
    const std::string err = stderr_of([] { EXPECT_EQ(hx_servo_init(), -1); });
    EXPECT_EQ(err, "ERROR in hx_servo_init, /sys/class/pwm/pwmchip0/pwm5 did not appear after export\n");
    EXPECT_EQ(sandbox::get("/sys/class/pwm/pwmchip0/export"), "5");
    EXPECT_EQ(sandbox::get("/sys/class/pwm/pwmchip0/unexport"), "5");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(attr(i, "enable"), "0") << i;
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_servo_send_pulse_us(1, 1500), -1); }),
              "ERROR in hx_servo_send_pulse_us, call hx_servo_init first\n");
}

}  // namespace
