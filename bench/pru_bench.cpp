// Channel 4's firmware on the PRU core model: the smallest spacing between edges that
// the firmware counts without loss, in PRU cycles (a property of the firmware's longest
// path in the model's timing, found by random walks at each spacing), and how many PRU
// instructions a second the model runs on this machine (fast-forward off: every
// instruction interpreted).
#include <pru_core.h>
#include <pru_elf.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> image(const char* path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

struct board {
    uint8_t dram[2][pru::dram_bytes] = {};
    uint32_t shared[pru::shared_bytes / 4] = {};
    pru::core core;
    pru::wheel wheel;
    explicit board(const char* path)
    {
        core.dram = dram[0];
        core.dram_other = dram[1];
        core.shared = reinterpret_cast<volatile uint8_t*>(shared);
        std::string why;
        if (pru::load(image(path), {}, core, why) != 0) std::fprintf(stderr, "%s: %s\n", path, why.c_str());
        pru::run(core, wheel, 100);  // past the start-up
    }
};

// Edges of a random walk at spacing cycles that the count misses (its distance from the
// wheel's position, plus the states the firmware saw skipped).
long long lost_at(uint64_t spacing, int steps, unsigned seed)
{
    board b(HX_ENCODER_IMAGE);
    std::mt19937 random(seed);
    std::string walk;
    for (int k = 0; k < steps; ++k) walk += random() % 2 ? '+' : '-';
    b.wheel.add_walk(walk, spacing, b.core.cycle);
    pru::run(b.core, b.wheel, b.wheel.walk.back().at + 1000);
    uint32_t missed;
    std::memcpy(&missed, b.dram[0], 4);
    const long long off = static_cast<int32_t>(b.shared[16]) - b.wheel.position;
    return (off < 0 ? -off : off) + missed;
}

void BM_ModelRunsTheEncoderAtItsEdgeRate(benchmark::State& state)
{
    board b(HX_ENCODER_IMAGE);
    b.core.fast_forward = false;
    uint64_t executed = 0;
    for (auto _ : state) {
        b.wheel.add_walk(std::string(10000, '+'), 20, b.core.cycle);
        const uint64_t before = b.core.executed;
        pru::run(b.core, b.wheel, b.wheel.walk.back().at + 100);
        executed += b.core.executed - before;
    }
    state.counters["PRU_instructions_per_s"] = benchmark::Counter(static_cast<double>(executed), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ModelRunsTheEncoderAtItsEdgeRate)->Unit(benchmark::kMillisecond);

void BM_ModelRunsTheEncodersIdleLoop(benchmark::State& state)
{
    board b(HX_ENCODER_IMAGE);
    b.core.fast_forward = false;
    uint64_t executed = 0;
    for (auto _ : state) {
        const uint64_t before = b.core.executed;
        pru::run(b.core, b.wheel, b.core.cycle + 1000000);
        executed += b.core.executed - before;
    }
    state.counters["PRU_instructions_per_s"] = benchmark::Counter(static_cast<double>(executed), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ModelRunsTheEncodersIdleLoop)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The edge rate: every spacing from 40 cycles down, three walks of 20000 steps each.
    std::printf("\nchannel 4 firmware on the PRU core model (200 MHz; LBBO/SBBO of a word = 3 cycles):\n");
    std::printf("%8s %10s %14s\n", "spacing", "edges/s", "edges lost");
    uint64_t smallest = 0;
    bool exact = true;
    for (uint64_t s = 40; s >= 8; --s) {
        long long lost = 0;
        for (unsigned seed = 1; seed <= 3; ++seed) lost += lost_at(s, 20000, seed);
        std::printf("%8llu %9.1fM %14lld\n", static_cast<unsigned long long>(s), 200.0 / static_cast<double>(s), lost);
        if (lost == 0 && exact) smallest = s;
        exact = exact && lost == 0;
    }
    std::printf("smallest spacing counted without loss: %llu cycles (%.1f M edges/s; goal: at most 20 cycles)\n",
                static_cast<unsigned long long>(smallest), 200.0 / static_cast<double>(smallest));
    return 0;
}
