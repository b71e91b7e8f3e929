// The cost of one servo request: hx_servo_send_pulse_us against a bare system call (a
// 4-byte write to /dev/null). The request is stores into PRU core 1's data RAM, here
// the /dev/mem stand-in. No simulated kernel and no PRU model: a thread plays the
// firmware's handshake, and the benchmark's own loop plays its taking of requests (one
// store every 16 calls), so that the ring never fills and only the call is measured. A
// thread taking them as they come was not enough: where it fell behind, the calls were
// the refusal and its message on standard error.
#include "results.h"
#include <sim/sandbox.h>

#include <hx/servo.h>

#include <cstdio>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

volatile uint32_t* ram = nullptr;  // PRU1's data RAM, as the test sees it
constexpr int taken_word = 2;      // firmware/servo.s: how many requests it has taken

// The firmware's handshake (firmware/servo.s): its tick, then ready cleared.
void handshake()
{
    while (ram[0] != 42) std::this_thread::yield();
    ram[3] = 200;
    ram[0] = 0;
}

void send(benchmark::State& state)
{
    uint32_t sent = ram[taken_word];  // every earlier request taken: the service's count
    long refused = 0;
    for (auto _ : state) {
        refused += hx_servo_send_pulse_us(0, 1500) != 0;
        // The firmware's side: all taken at each sixteenth, before the ring is full.
        if (++sent % 16 == 0) ram[taken_word] = sent;
    }
    ram[taken_word] = sent;
    if (refused != 0) state.SkipWithError("requests were refused: the ring filled, and the refusal is not the call");
}

void bare_write(benchmark::State& state)
{
    const int fd = open("/dev/null", O_WRONLY);
    const uint32_t word = 0;
    for (auto _ : state) benchmark::DoNotOptimize(write(fd, &word, sizeof word));
    close(fd);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string why;
    if (!sandbox::enter(&why)) {
        std::fprintf(stderr, "servo_bench needs a mount namespace (%s): run as root\n", why.c_str());
        return 1;
    }
    sandbox::add_dev_mem();
    for (const char* core : {"remoteproc1", "remoteproc2"}) {
        sandbox::put(std::string("/sys/class/remoteproc/") + core + "/state", "offline\n");
        sandbox::put(std::string("/sys/class/remoteproc/") + core + "/firmware", "\n");
    }
    ram = sandbox::pru_data_ram(1);
    std::thread core1(handshake);
    const int started = hx_servo_init();
    if (started != 0) ram[0] = 42;  // let the handshake's thread end
    core1.join();
    if (started != 0) return 1;
    benchmark::RegisterBenchmark("servo/hx_servo_send_pulse_us", send);
    benchmark::RegisterBenchmark("servo/bare_write_4_bytes_to_dev_null", bare_write);
    benchmark::Initialize(&argc, argv);
    bench::collector out;
    benchmark::RunSpecifiedBenchmarks(&out);
    const double call = out.ns("servo/hx_servo_send_pulse_us"), sys = out.ns("servo/bare_write_4_bytes_to_dev_null");
    std::printf("\n%-44s %10s %8s\n", "servo request", "ns/call", "ratio");
    std::printf("%-44s %10.1f %8.3f  (no system call: well below 1)\n", "hx_servo_send_pulse_us (all eight)", call,
                call / sys);
    std::printf("%-44s %10.1f %8s\n", "bare write(2) of 4 bytes to /dev/null", sys, "1");
    return call > 0 && sys > 0 ? 0 : 1;
}
