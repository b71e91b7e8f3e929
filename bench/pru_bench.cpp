// The PRU firmware on the PRU core model. Channel 4's: the smallest spacing between
// edges that the firmware counts without loss, in PRU cycles (a property of the
// firmware's longest path in the model's timing, found by random walks at each
// spacing), and how many PRU instructions a second the model runs on this machine
// (fast-forward off: every instruction interpreted). The servo firmware's: the error of
// every pulse's width against the width asked, and the delay from a request's store to
// its rising edge, in core cycles, over random requests at random cycles; and the
// model's speed while pulses run.
#include <pru_core.h>
#include <pru_elf.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
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
    explicit board(const char* path, int index = 0)
    {
        core.index = index;
        core.dram = dram[index];
        core.dram_other = dram[1 - index];
        core.log_r30 = true;
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

constexpr int servo_bit[8] = {8, 10, 9, 11, 6, 7, 4, 5};  // servo 1..8's R30 bit

// The servo firmware's protocol from the host's side, at exact cycles.
struct servo_host {
    board b{HX_SERVO_IMAGE, 1};
    uint32_t requests = 0;
    void put(int w, uint32_t v) { std::memcpy(b.dram[1] + 4 * w, &v, 4); }
    uint32_t taken() const
    {
        uint32_t v;
        std::memcpy(&v, b.dram[1] + 8, 4);
        return v;
    }
    // At cycle at, or once the ring has room (as the library waits for none: it refuses).
    void request(uint64_t at, const uint16_t (&us)[8])
    {
        pru::run(b.core, b.wheel, at);
        while (requests - taken() >= 16) pru::run(b.core, b.wheel, b.core.cycle + 200);
        const int slot = 0x40 / 4 + static_cast<int>(requests % 16) * 8;
        for (int w = 0; w < 4; ++w) put(slot + 1 + w, us[2 * w] | static_cast<uint32_t>(us[2 * w + 1]) << 16);
        put(slot, ++requests);
    }
};

// Eight channels pulsing 2 ms each in turn, a request every 250 us: the model's speed
// while pulses run (the ticks a pulse takes cannot be skipped).
void BM_ModelRunsTheServoFirmwareWhilePulsing(benchmark::State& state)
{
    servo_host h;
    uint64_t executed = 0, cycles = 0;
    for (auto _ : state) {
        const uint64_t before = h.b.core.executed, from = h.b.core.cycle;
        for (int k = 0; k < 8; ++k) {
            uint16_t us[8] = {};
            us[k] = 2000;
            h.request(h.b.core.cycle + 50000, us);
        }
        pru::run(h.b.core, h.b.wheel, h.b.core.cycle + 400000);
        executed += h.b.core.executed - before;
        cycles += h.b.core.cycle - from;
    }
    state.counters["PRU_instructions_per_s"] = benchmark::Counter(static_cast<double>(executed), benchmark::Counter::kIsRate);
    state.counters["core_s_per_s"] = benchmark::Counter(static_cast<double>(cycles) / pru::hz, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ModelRunsTheServoFirmwareWhilePulsing)->Unit(benchmark::kMillisecond);

// Every pulse's width against its request's, and the delay from the request's store to
// the rising edge: random widths on random channels at random cycles.
void servo_timing()
{
    servo_host h;
    std::mt19937 random(26);
    struct asked {
        uint64_t at;
        uint16_t us[8];
        bool prompt;  // stored with the ring empty and its channels low a tick at least
    };
    std::vector<asked> sent;
    uint64_t at = 20000;
    for (int k = 0; k < 2000; ++k) {
        asked a{};
        // Mostly apart by more than the longest pulse, sometimes closer (they then wait).
        at += random() % 8 == 0 ? 4000 + random() % 200000 : 520000 + random() % 400000;
        for (auto& u : a.us) u = random() % 4 == 0 ? static_cast<uint16_t>(1 + random() % 2500) : 0;
        pru::run(h.b.core, h.b.wheel, at);
        uint32_t named = 0;
        for (int ch = 0; ch < 8; ++ch) named |= a.us[ch] != 0 ? 1u << servo_bit[ch] : 0;
        a.prompt = h.taken() == h.requests && (h.b.core.reg[30] & named) == 0 && (h.b.core.reg[9] & named) == 0;
        h.request(at, a.us);
        a.at = std::max(at, h.b.core.cycle);  // when it was stored
        at = a.at;
        sent.push_back(a);
    }
    while (h.taken() != h.requests) pru::run(h.b.core, h.b.wheel, h.b.core.cycle + 200000);
    pru::run(h.b.core, h.b.wheel, h.b.core.cycle + 600000);  // past the longest pulse
    const auto& record = h.b.core.r30_log;
    long long worst_error = 0, pulses = 0, held = 0;
    uint64_t min_delay = UINT64_MAX, max_delay = 0, sum_delay = 0, prompt = 0;
    for (int ch = 0; ch < 8; ++ch) {
        std::vector<std::pair<uint64_t, uint64_t>> p;  // rise, fall
        uint32_t was = 0;
        for (const auto& c : record) {
            const uint32_t m = 1u << servo_bit[ch];
            if ((c.value & m) && !(was & m)) p.push_back({c.cycle, 0});
            if (!(c.value & m) && (was & m)) p.back().second = c.cycle;
            was = c.value;
        }
        size_t k = 0;
        for (const asked& a : sent) {
            if (a.us[ch] == 0) continue;
            if (k >= p.size()) break;
            const long long error = static_cast<long long>(p[k].second - p[k].first) - 200LL * a.us[ch];
            worst_error = std::max(worst_error, error < 0 ? -error : error);
            const uint64_t delay = p[k].first - a.at;
            // The start delay is the firmware's own where nothing was ahead of the request.
            if (a.prompt) {
                min_delay = std::min(min_delay, delay);
                max_delay = std::max(max_delay, delay);
                sum_delay += delay;
                ++prompt;
            } else {
                ++held;
            }
            ++pulses;
            ++k;
        }
    }
    std::printf("\nservo firmware on the PRU core model (200 MHz, a tick of 200 cycles), %lld pulses of 2000 random "
                "requests:\n",
                pulses);
    std::printf("  width error, worst:              %lld cycles (goal 0)\n", worst_error);
    std::printf("  store to rising edge, %lld prompt: %llu to %llu cycles, mean %.0f (a tick is 200)\n",
                static_cast<long long>(prompt), static_cast<unsigned long long>(min_delay),
                static_cast<unsigned long long>(max_delay), static_cast<double>(sum_delay) / static_cast<double>(prompt));
    std::printf("  %lld pulses waited for an earlier request's pulse to end\n", held);
}

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
    servo_timing();
    return 0;
}
