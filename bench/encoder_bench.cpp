// Encoder reads: hx_hwquad_read on a sandbox eQEP attribute against the bare lseek +
// read(12) pair on the same file, with heap allocations counted; hx_fwquad_read against
// a bare volatile load of the same word.
#include "results.h"
#include "support/board_sandbox.h"
#include "support/encoder_firmware.h"

#include <hx/fwquad.h>
#include <hx/hwquad.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

// Every heap allocation of the process passes here.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
static std::atomic<long> allocations{0};
extern "C" void* malloc(size_t n)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, size_t n)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}

namespace {

void hwquad_read(benchmark::State& state)
{
    long heap = 0;
    for (auto _ : state) {
        const long before = allocations.load(std::memory_order_relaxed);
        benchmark::DoNotOptimize(hx_hwquad_read(2));
        heap += allocations.load(std::memory_order_relaxed) - before;
    }
    state.counters["allocs/read"] = static_cast<double>(heap) / static_cast<double>(state.iterations());
}

void bare_seek_read(benchmark::State& state)
{
    const int fd = open(sandbox::eqep_position(2).c_str(), O_RDWR);
    char buf[12];
    for (auto _ : state) {
        benchmark::DoNotOptimize(lseek(fd, 0, SEEK_SET));
        benchmark::DoNotOptimize(read(fd, buf, sizeof buf));
        benchmark::ClobberMemory();
    }
    close(fd);
}

void fwquad_read(benchmark::State& state)
{
    for (auto _ : state) benchmark::DoNotOptimize(hx_fwquad_read());
}

void bare_volatile_load(benchmark::State& state)
{
    volatile uint32_t* word = sandbox::pru_shared_ram() + 16;
    for (auto _ : state) benchmark::DoNotOptimize(static_cast<int32_t>(*word));
}

}  // namespace

int main(int argc, char** argv)
{
    std::string why;
    if (!sandbox::enter(&why)) {
        std::fprintf(stderr, "encoder_bench needs a mount namespace (%s): run as root\n", why.c_str());
        return 1;
    }
    sandbox::add_eqep();
    sandbox::add_remoteproc();
    sandbox::add_dev_mem();
    sandbox::put(sandbox::eqep_position(2), "-1234567\n");
    firmware::start({firmware::clears::at_start});
    if (hx_hwquad_init() != 0 || hx_fwquad_init() != 0) return 1;
    sandbox::put(sandbox::eqep_position(2), "-1234567\n");

    // Interleaved, so both sides of each pair see the same machine.
    benchmark::RegisterBenchmark("hwquad/hx_hwquad_read", hwquad_read);
    benchmark::RegisterBenchmark("hwquad/bare_lseek_read12", bare_seek_read);
    benchmark::RegisterBenchmark("fwquad/hx_fwquad_read", fwquad_read);
    benchmark::RegisterBenchmark("fwquad/bare_volatile_load", bare_volatile_load);
    benchmark::Initialize(&argc, argv);
    bench::collector out;
    benchmark::RunSpecifiedBenchmarks(&out);

    const double hw = out.ns("hwquad/hx_hwquad_read"), bare = out.ns("hwquad/bare_lseek_read12");
    const double fw = out.ns("fwquad/hx_fwquad_read"), load = out.ns("fwquad/bare_volatile_load");
    const auto& counters = out.results["hwquad/hx_hwquad_read"].counters;
    std::printf("\n%-38s %10s %8s\n", "encoder read", "ns/read", "ratio");
    std::printf("%-38s %10.1f %8.3f  (target <= 1.10)\n", "hx_hwquad_read (eQEP attribute)", hw, hw / bare);
    std::printf("%-38s %10.1f %8s\n", "bare lseek + read(12), same file", bare, "1");
    std::printf("%-38s %10.2f %8.3f\n", "hx_fwquad_read (PRU shared RAM)", fw, fw / load);
    std::printf("%-38s %10.2f %8s\n", "bare volatile load, same word", load, "1");
    std::printf("heap allocations per hx_hwquad_read: %g (target 0)\n",
                counters.count("allocs/read") ? counters.at("allocs/read") : -1.0);
    hx_fwquad_cleanup();
    hx_hwquad_cleanup();
    firmware::stop();
    return 0;
}
