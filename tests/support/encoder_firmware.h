// An emulator of the PRU encoder firmware. It watches core 0's remoteproc `state` in
// the sandbox as the kernel's remoteproc driver would see it: on "start" with its own
// image in `firmware` it reports "running", clears the count word in the PRU shared
// RAM and then counts; on "stop" it halts and reports "offline".
#ifndef HX_TEST_ENCODER_FIRMWARE_H
#define HX_TEST_ENCODER_FIRMWARE_H

#include <atomic>
#include <string>

namespace firmware {

enum class clears {
    at_start,      // as soon as it runs
    after_sleeps,  // once the caller has begun `sleeps` sleeps (see sleeps_begun)
    never,         // runs but never clears the marker
};

struct behaviour {
    clears mode = clears::at_start;
    int sleeps = 0;
    int step = 0;  // added to the count every millisecond once cleared
    std::string image = "am335x-pru0-hx-encoder-fw";  // the image installed on the board
};

// Incremented by the test's hx_usleep interposer as each sleep begins.
extern std::atomic<int> sleeps_begun;

void start(const behaviour& b);
void set_step(int step);
int starts_seen();  // starts of the right image
int stops_seen();
void stop();

}  // namespace firmware

#endif
