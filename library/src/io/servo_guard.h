// The servo service's guardian: a small process, started by hx_servo_init, that stops
// every output (width 0, disabled) when no pulse has reached it for three periods, and
// all of them at once when the program ends in any way: exit, a signal, a crash,
// kill -9. A PWM unit repeats its last width for ever; without the guardian an ESC
// would go on at full throttle after the program died.
//
// The program and the guardian share one anonymous page (each output's last pulse and
// state, lock-free) and two pipes: the lifeline, whose write end only the program holds
// (closed on exec, and in every child the program forks), so that the guardian reads end
// of file when the program is gone; and the guardian's own, whose write end only the
// guardian holds, so that the program sees end of file when the guardian is gone.
//
// The guardian is the program's grandchild (the child between them ends at once), so
// that it is none of the program's children: wait(NULL) never waits for it.
#ifndef HX_SRC_SERVO_GUARD_H
#define HX_SRC_SERVO_GUARD_H

#include <cstddef>

namespace hx::servo_guard {

constexpr std::size_t chip_max = 64;
constexpr std::size_t path_max = 96;

// What the guardian needs of one output: where to stop it, and whether to release it.
// It keeps its own copy (made at the fork).
struct guarded {
    char chip[chip_max];  // the unit's pwmchipN directory
    char dir[path_max];   // the output's directory
    int k;                // output number within the unit
    bool started;
    bool exported;  // by the service, so that it is unexported at the end
};

// An output is stopped after this long without a pulse: three 20 ms periods.
constexpr long long idle_ns = 60'000'000;

// Start the guardian over outputs[0..n) (the started ones). 0, or -1 after a message.
int start(const guarded* outputs, int n);

// False once the guardian has ended while the program still holds the outputs.
bool alive();

// Before a pulse's width is written: the output is fresh again.
void fresh(int i);
// True when the guardian has stopped the output for want of pulses, so that it must be
// enabled again (waits while the guardian is in the middle of stopping it).
bool stopped(int i);
// The output runs again.
void live(int i);
// The program is about to stop the output itself (its cleanup): the guardian keeps off
// it from now on, so that no stop of the guardian's lands after the program's (a stop
// of its own already under way is waited for). Should the program die before end(),
// the guardian still stops every output.
void keep_off(int i);

// The program has stopped the outputs itself: let the guardian go without it touching
// them. Returns at once; the guardian leaves by itself.
void end();

}  // namespace hx::servo_guard

#endif
