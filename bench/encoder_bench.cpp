// Encoder reads and writes: hx_hwquad_read and hx_hwquad_write on an eQEP attribute
// against the bare lseek + read(12) and lseek + write(12) pairs on the same file, with
// heap allocations counted; hx_fwquad_read against a bare volatile load of the same word.
// The attributes are plain tmpfs files, not the simulated kernel: what is measured is
// the cost of the system calls themselves, which a FUSE round trip would swamp.
#include "results.h"
#include <sim/sandbox.h>

#include <hx/fwquad.h>
#include <hx/hwquad.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
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

// Channel 1 is on the eQEP driver's attribute, channel 2 on a counter device's count.
constexpr const char* counter_count = "/sys/bus/counter/devices/counter0/count0/count";

void hwquad_read(benchmark::State& state)
{
    const int ch = static_cast<int>(state.range(0));
    long heap = 0;
    for (auto _ : state) {
        const long before = allocations.load(std::memory_order_relaxed);
        benchmark::DoNotOptimize(hx_hwquad_read(ch));
        heap += allocations.load(std::memory_order_relaxed) - before;
    }
    state.counters["allocs/read"] = static_cast<double>(heap) / static_cast<double>(state.iterations());
}

void bare_seek_read(benchmark::State& state)
{
    const int fd = open(sandbox::eqep_position(1).c_str(), O_RDWR);
    char buf[12];
    for (auto _ : state) {
        benchmark::DoNotOptimize(lseek(fd, 0, SEEK_SET));
        benchmark::DoNotOptimize(read(fd, buf, sizeof buf));
        benchmark::ClobberMemory();
    }
    close(fd);
}

void hwquad_write(benchmark::State& state)
{
    const int ch = static_cast<int>(state.range(0));
    long heap = 0;
    for (auto _ : state) {
        const long before = allocations.load(std::memory_order_relaxed);
        benchmark::DoNotOptimize(hx_hwquad_write(ch, -1234567));
        heap += allocations.load(std::memory_order_relaxed) - before;
    }
    state.counters["allocs/write"] = static_cast<double>(heap) / static_cast<double>(state.iterations());
}

void bare_seek_write(benchmark::State& state)
{
    const int fd = open(sandbox::eqep_position(1).c_str(), O_RDWR);
    char buf[12] = "-1234567";
    for (auto _ : state) {
        benchmark::DoNotOptimize(lseek(fd, 0, SEEK_SET));
        benchmark::DoNotOptimize(write(fd, buf, sizeof buf));
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
    sandbox::eqep_as_counter(2);  // unit 2 as newer kernels offer it
    sandbox::add_dev_mem();
    for (const char* core : {"remoteproc1", "remoteproc2"}) {
        sandbox::put(std::string("/sys/class/remoteproc/") + core + "/state", "offline\n");
        sandbox::put(std::string("/sys/class/remoteproc/") + core + "/firmware", "\n");
    }
    // The firmware's handshake, played on plain files: clear the start marker once set.
    volatile uint32_t* word = sandbox::pru_shared_ram() + 16;
    std::thread handshake([word] {
        for (int i = 0; i < 2000 && *word != 42; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        *word = 0;
    });
    const int started = hx_fwquad_init();
    handshake.join();
    if (hx_hwquad_init() != 0 || started != 0) return 1;
    sandbox::put(sandbox::eqep_position(1), "-1234567\n");
    sandbox::put(counter_count, "4293732729\n");

    // Interleaved, so both sides of each pair see the same machine.
    benchmark::RegisterBenchmark("hwquad/hx_hwquad_read", hwquad_read)->Arg(1)->Arg(2);
    benchmark::RegisterBenchmark("hwquad/bare_lseek_read12", bare_seek_read);
    benchmark::RegisterBenchmark("hwquad/hx_hwquad_write", hwquad_write)->Arg(1)->Arg(2);
    benchmark::RegisterBenchmark("hwquad/bare_lseek_write12", bare_seek_write);
    benchmark::RegisterBenchmark("fwquad/hx_fwquad_read", fwquad_read);
    benchmark::RegisterBenchmark("fwquad/bare_volatile_load", bare_volatile_load);
    benchmark::Initialize(&argc, argv);
    bench::collector out;
    benchmark::RunSpecifiedBenchmarks(&out);

    const double bare = out.ns("hwquad/bare_lseek_read12"), barew = out.ns("hwquad/bare_lseek_write12");
    const double fw = out.ns("fwquad/hx_fwquad_read"), load = out.ns("fwquad/bare_volatile_load");
    std::printf("\n%-40s %10s %8s\n", "encoder access", "ns/call", "ratio");
    double heap = 0;
    for (const char* path : {"1", "2"}) {
        const std::string r = std::string("hwquad/hx_hwquad_read/") + path;
        const std::string w = std::string("hwquad/hx_hwquad_write/") + path;
        const char* what = path[0] == '1' ? "eQEP attribute" : "counter device";
        std::printf("hx_hwquad_read, %-24s %10.1f %8.3f  (target <= 0.60)\n", what, out.ns(r), out.ns(r) / bare);
        std::printf("hx_hwquad_write, %-23s %10.1f %8.3f  (target <= 0.60)\n", what, out.ns(w), out.ns(w) / barew);
        for (const std::string& name : {r, w})
            for (const auto& [k, v] : out.results[name].counters) heap += v;
    }
    std::printf("%-40s %10.1f %8s\n", "bare lseek + read(12), same kind of file", bare, "1");
    std::printf("%-40s %10.1f %8s\n", "bare lseek + write(12)", barew, "1");
    std::printf("%-40s %10.2f %8.3f\n", "hx_fwquad_read (PRU shared RAM)", fw, fw / load);
    std::printf("%-40s %10.2f %8s\n", "bare volatile load, same word", load, "1");
    std::printf("heap allocations per hx_hwquad_read and hx_hwquad_write, both paths: %g (target 0)\n", heap);
    hx_fwquad_cleanup();
    hx_hwquad_cleanup();
    return 0;
}
