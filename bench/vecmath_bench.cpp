// The accumulation kernels against single-threaded OpenBLAS ddot (its own choice of
// kernel for this processor: bench/run unsets OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE
// for this command alone) and a plain in-order loop, from 1e3 to 1e7 elements, on
// arrays aligned to 64 bytes and on arrays 8 bytes past that. Every benchmark is
// repeated 9 times with the repetitions of all of them randomly interleaved, so that
// each side meets the same machine; the table gives medians and the spread.
#include "plain_loops.h"
#include "results.h"

#include <hx/vecmath.h>

#include <algorithm>
#include <cblas.h>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

extern "C" void openblas_set_num_threads(int);
extern "C" char* openblas_get_corename(void);

namespace {

constexpr size_t max_n = 10000000;
double* xs = nullptr;
double* ys = nullptr;

void fill()
{
    // 64-byte aligned, with room for the offset variant.
    xs = static_cast<double*>(std::aligned_alloc(64, (max_n + 8) * sizeof(double)));
    ys = static_cast<double*>(std::aligned_alloc(64, (max_n + 8) * sizeof(double)));
    for (size_t i = 0; i < max_n + 8; ++i) {
        xs[i] = 1.0 + static_cast<double>(i % 97) * 1e-3;
        ys[i] = 2.0 - static_cast<double>(i % 89) * 1e-3;
    }
}

template <typename F>
void per_element(benchmark::State& state, F f, int offset)
{
    const int n = static_cast<int>(state.range(0));
    const double* a = xs + offset;
    const double* b = ys + offset;
    for (auto _ : state) benchmark::DoNotOptimize(f(a, b, n));
    state.SetItemsProcessed(state.iterations() * n);
}

// The read limit for each kernel at 1e7 elements, with its own access pattern over its
// own arrays (memory_read.cpp): the dot product reads two streams side by side (xs and
// ys), the sum of squares one (xs), each with the width of the library's clone. Two
// streams read faster than one on many machines, and a 512-bit loop slower than a
// 256-bit one on some: each kernel is held against the limit of its own pattern.
//
// Side by side: at 1e7 the arrays stream from memory (or a large last-level cache) at a
// rate a shared machine changes by 15% from one run to the next, so kernel and limit
// measured apart can come out either way. Rounds of limit, kernel, kernel, limit (so
// that neither gains from going second), each call timed; each round gives the limit's
// time over the kernel's, and the median of the rounds is the figure.
struct paired {
    double ratio = 0, lowest = 0, highest = 0;  // of the rounds
    double limit_ns = 0;                        // the limit's median call
};

template <typename K, typename L>
paired side_by_side(K kernel, L limit)
{
    using clock = std::chrono::steady_clock;
    constexpr int rounds = 15;
    std::vector<double> ratios, limits;
    const auto timed = [](auto f) {
        const auto t0 = clock::now();
        benchmark::DoNotOptimize(f());
        return std::chrono::duration<double, std::nano>(clock::now() - t0).count();
    };
    // The first touch of the arrays is not a read.
    timed(kernel);
    timed(limit);
    for (int r = 0; r < rounds; ++r) {
        const double l1 = timed(limit), k1 = timed(kernel), k2 = timed(kernel), l2 = timed(limit);
        ratios.push_back((l1 + l2) / (k1 + k2));
        limits.push_back((l1 + l2) / 2);
    }
    std::sort(ratios.begin(), ratios.end());
    std::sort(limits.begin(), limits.end());
    return {ratios[rounds / 2], ratios.front(), ratios.back(), limits[rounds / 2]};
}

const int sizes[] = {1000, 10000, 100000, 1000000, 10000000};

std::string cpu_model()
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "?";
}

// The clone the library's resolver picks, by the same test it makes.
const char* halvex_clone()
{
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f"))
        return __builtin_cpu_is("amd") ? "avx512 for AMD (512-bit below 2^21 elements, 256-bit above)" : "avx512";
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return "avx2";
#endif
    return "baseline";
}

}  // namespace

int main(int argc, char** argv)
{
    openblas_set_num_threads(1);
    fill();
    using kernel = double (*)(const double*, const double*, int);
    const kernel dot_h = [](const double* a, const double* b, int n) { return __vectorized_mult_accumulate(a, b, n); };
    const kernel dot_o = [](const double* a, const double* b, int n) { return cblas_ddot(n, a, 1, b, 1); };
    const kernel dot_p = [](const double* a, const double* b, int n) { return plain_dot(a, b, n); };
    const kernel sq_h = [](const double* a, const double*, int n) { return __vectorized_square_accumulate(a, n); };
    const kernel sq_o = [](const double* a, const double*, int n) { return cblas_ddot(n, a, 1, a, 1); };
    const kernel sq_p = [](const double* a, const double*, int n) { return plain_squares(a, n); };
    struct entry {
        const char* name;
        kernel f;
        bool both_alignments;
    };
    const entry entries[] = {{"dot/halvex", dot_h, true},  {"dot/openblas", dot_o, true},  {"dot/plain", dot_p, false},
                             {"squares/halvex", sq_h, true}, {"squares/openblas", sq_o, true}, {"squares/plain", sq_p, false}};
    for (const entry& e : entries) {
        for (int offset : {0, 1}) {
            if (offset == 1 && !e.both_alignments) continue;
            for (int n : sizes) {
                char registered[96];
                std::snprintf(registered, sizeof registered, "%s/%s/%d", e.name, offset ? "offset" : "aligned", n);
                const kernel f = e.f;
                benchmark::RegisterBenchmark(registered, [f, offset](benchmark::State& s) { per_element(s, f, offset); })
                    ->Arg(n)
                    ->MinTime(0.05)
                    ->Repetitions(9)
                    ->ReportAggregatesOnly(true);
            }
        }
    }
    // Interleave the repetitions of every benchmark unless told otherwise.
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    bool told = false;
    for (char* a : args) told = told || std::strncmp(a, "--benchmark_enable_random_interleaving", 38) == 0;
    if (!told) args.push_back(interleave);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    bench::collector out;
    benchmark::RunSpecifiedBenchmarks(&out);

    const char* coretype = std::getenv("OPENBLAS_CORETYPE");
    std::printf("\nCPU: %s; halvex clone: %s; OpenBLAS kernel: %s%s%s\n", cpu_model().c_str(), halvex_clone(),
                openblas_get_corename(), coretype ? " (forced by OPENBLAS_CORETYPE=" : "",
                coretype ? (std::string(coretype) + ")").c_str() : "");
    std::printf("elements per ns, medians of 9 interleaved runs; ratio = OpenBLAS time / halvex time\n"
                "(above 1: halvex is faster); cv = the larger spread (stddev / mean) of the two\n");
    std::printf("%-8s %-8s %9s %9s %9s %9s %7s\n", "kernel", "arrays", "n", "halvex", "openblas", "ratio", "cv");
    for (const char* k : {"dot", "squares"}) {
        for (const char* align : {"aligned", "offset"}) {
            for (int n : sizes) {
                char h[96], o[96];
                std::snprintf(h, sizeof h, "%s/halvex/%s/%d/%d", k, align, n, n);
                std::snprintf(o, sizeof o, "%s/openblas/%s/%d/%d", k, align, n, n);
                const double th = out.ns(std::string(h) + "_median"), to = out.ns(std::string(o) + "_median");
                if (th == 0 || to == 0) continue;  // filtered out of this run
                const auto cv = [&out](const char* name) {
                    const auto it = out.results.find(std::string(name) + "_cv");
                    return it == out.results.end() ? 0.0 : it->second.ns_per_iteration;
                };
                std::printf("%-8s %-8s %9d %9.3f %9.3f %8.2fx %6.1f%%\n", k, align, n, n / th, n / to, to / th,
                            100 * std::fmax(cv(h), cv(o)));
            }
        }
    }
    // Each kernel at 1e7 against the read limit of its own pattern, side by side: reading
    // the same bytes the same way, a kernel cannot pass 1 but by the machine's noise,
    // which the rounds' range shows.
    const paired dot = side_by_side([] { return __vectorized_mult_accumulate(xs, ys, static_cast<int>(max_n)); },
                                    [] { return read_like_dot(xs, ys, max_n); });
    const paired squares = side_by_side([] { return __vectorized_square_accumulate(xs, static_cast<int>(max_n)); },
                                        [] { return read_like_squares(xs, max_n); });
    for (const auto& [k, p] : {std::pair<const char*, paired>{"dot", dot}, std::pair<const char*, paired>{"squares", squares}})
        std::printf("%-8s at 1e7: %.2f of the read limit of its pattern (%s, the same loads: %.3f elements per ns), "
                    "median of 15 rounds side by side, %.2f to %.2f\n",
                    k, p.ratio, std::strcmp(k, "dot") == 0 ? "two streams" : "one stream", 1e7 / p.limit_ns, p.lowest,
                    p.highest);
    return 0;
}
