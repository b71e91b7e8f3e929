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
void memory_read_two(benchmark::State& state)
{
    for (auto _ : state) benchmark::DoNotOptimize(read_like_dot(xs, ys, max_n));
    state.SetItemsProcessed(state.iterations() * static_cast<long>(max_n));
}
void memory_read_one(benchmark::State& state)
{
    for (auto _ : state) benchmark::DoNotOptimize(read_like_squares(xs, max_n));
    state.SetItemsProcessed(state.iterations() * static_cast<long>(max_n));
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
    using limit_loop = void (*)(benchmark::State&);
    for (const auto& [name, f] : {std::pair<const char*, limit_loop>{"memory/read_two_streams_1e7", memory_read_two},
                                  std::pair<const char*, limit_loop>{"memory/read_one_stream_1e7", memory_read_one}})
        // A limit is the fastest the loads were seen to go: its fastest run ("_min"), so that
        // a kernel's median above it says the limit is wrong, not that the machine was noisy.
        benchmark::RegisterBenchmark(name, f)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.05)
            ->Repetitions(9)
            ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
            ->ReportAggregatesOnly(true);

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
    // Each kernel at 1e7 (its median) against the read limit of its own pattern over the
    // same arrays (the read loop's fastest run): reading the same bytes the same way, a
    // kernel cannot pass 1.
    for (const auto& [k, limit] : {std::pair<const char*, const char*>{"dot", "memory/read_two_streams_1e7_min"},
                                   std::pair<const char*, const char*>{"squares", "memory/read_one_stream_1e7_min"}}) {
        char h[96];
        std::snprintf(h, sizeof h, "%s/halvex/aligned/10000000/10000000_median", k);
        const double kernel = out.ns(h), bound = out.ns(limit);
        if (kernel == 0 || bound == 0) continue;
        std::printf("%-8s at 1e7: %.2f of the read limit of its pattern (%s, the same loads: %.3f elements per ns, "
                    "the fastest of 9)\n",
                    k, bound / kernel, std::strcmp(k, "dot") == 0 ? "two streams" : "one stream", 1e7 / bound);
    }
    return 0;
}
