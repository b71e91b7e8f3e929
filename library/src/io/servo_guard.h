// The servo service's guardian: a small process, started by hx_servo_init, that stops
// every output (width 0, disabled) when no pulse has reached it for three periods, and
// all of them at once when the program ends in any way: exit, a signal, a crash,
// kill -9. A PWM unit repeats its last width for ever; without the guardian an ESC
// would go on at full throttle after the program died.
//
// The program and the guardian share one anonymous page (each output's last pulse and
// state, lock-free), and a pipe whose write end only the program holds: when the
// program is gone, the guardian reads end of file.
#ifndef HX_SRC_SERVO_GUARD_H
#define HX_SRC_SERVO_GUARD_H

#include <cstddef>

namespace hx::servo_guard {

constexpr std::size_t chip_max = 64;
constexpr std::size_t path_max = 96;

// One PWM output as the servo service keeps it.
struct pwm_output {
    char chip[chip_max];  // the unit's pwmchipN directory; "" when the unit is absent
    char dir[path_max];   // the output's directory once started
    int k;                // output number within the unit
    bool started;
    bool exported;  // by the service, so that it is unexported at the end
};

// An output is stopped after this long without a pulse: three 20 ms periods.
constexpr long long idle_ns = 60'000'000;

// Start the guardian over outputs[0..n) (the started ones). 0, or -1 after a message.
int start(const pwm_output* outputs, int n);

// Before a pulse's width is written: the output is fresh again.
void fresh(int i);
// After it: true when the guardian had stopped the output, so it must be enabled again
// (waits while the guardian is in the middle of stopping it).
bool stopped(int i);
// The output runs again.
void live(int i);

// The program stops the outputs itself: end the guardian without it touching them.
void end();

}  // namespace hx::servo_guard

#endif
