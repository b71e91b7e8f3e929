// The cost of one servo request: hx_servo_send_pulse_us against a bare system call (a
// 4-byte write to /dev/null). The request is stores into PRU core 1's data RAM, here
// the /dev/mem stand-in, with a thread playing the firmware's handshake and taking each
// request as it comes (the firmware takes one a microsecond): no simulated kernel, no
// PRU model, so only the call itself is measured.
#include "results.h"
#include <sim/sandbox.h>

#include <hx/servo.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

volatile uint32_t* ram = nullptr;  // PRU1's data RAM, as the test sees it
std::atomic<bool> running{true};

// The firmware's side of the protocol (firmware/servo.s): the handshake, then every
// request taken as soon as its number is written.
void firmware()
{
    while (ram[0] != 42) std::this_thread::yield();
    ram[3] = 200;
    ram[0] = 0;
    uint32_t taken = 0;
    while (running.load(std::memory_order_relaxed)) {
        const uint32_t next = ram[0x40 / 4 + (taken % 16) * 8];
        if (next == taken + 1) ram[2] = ++taken;
    }
}

void send(benchmark::State& state)
{
    for (auto _ : state) benchmark::DoNotOptimize(hx_servo_send_pulse_us(0, 1500));
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
    std::thread core1(firmware);
    if (hx_servo_init() != 0) {
        running = false;
        core1.join();
        return 1;
    }
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
    running = false;
    core1.join();
    return 0;
}
