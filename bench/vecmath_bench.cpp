// The accumulation kernels against single-threaded OpenBLAS ddot and a plain in-order
// loop, from 1e3 to 1e7 elements, with the memory-read bandwidth as the limit at large n.
#include "plain_loops.h"
#include "results.h"

#include <hx/vecmath.h>

#include <cblas.h>
#include <cstdio>
#include <string>
#include <vector>

extern "C" void openblas_set_num_threads(int);

namespace {

std::vector<double> xs, ys;

void fill(size_t n)
{
    if (xs.size() >= n) return;
    xs.resize(n);
    ys.resize(n);
    for (size_t i = 0; i < n; ++i) {
        xs[i] = 1.0 + static_cast<double>(i % 97) * 1e-3;
        ys[i] = 2.0 - static_cast<double>(i % 89) * 1e-3;
    }
}

template <typename F>
void per_element(benchmark::State& state, F f)
{
    const int n = static_cast<int>(state.range(0));
    fill(static_cast<size_t>(n));
    for (auto _ : state) benchmark::DoNotOptimize(f(xs.data(), ys.data(), n));
    state.SetItemsProcessed(state.iterations() * n);
}

// Reads 256 MiB once per iteration with independent sums: the machine's read limit.
void memory_read(benchmark::State& state)
{
    constexpr size_t n = (256u << 20) / sizeof(double);
    std::vector<double> big(n, 1.0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(sum_all(big.data(), n));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(n));
}

const int sizes[] = {1000, 10000, 100000, 1000000, 10000000};

// "kernel/who/n/n": the registered name plus the argument. (snprintf: GCC 12 at -O3
// warns falsely on std::string concatenation here.)
std::string name(const char* kernel, const char* who, int n)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s/%s/%d/%d", kernel, who, n, n);
    return buf;
}

}  // namespace

int main(int argc, char** argv)
{
    openblas_set_num_threads(1);
    auto add = [](const char* kernel_who, auto f) {
        for (int n : sizes) {
            char registered[64];
            std::snprintf(registered, sizeof registered, "%s/%d", kernel_who, n);
            benchmark::RegisterBenchmark(registered, [f](benchmark::State& s) { per_element(s, f); })
                ->Arg(n);
        }
    };
    add("dot/halvex", [](const double* a, const double* b, int n) { return __vectorized_mult_accumulate(a, b, n); });
    add("dot/openblas", [](const double* a, const double* b, int n) { return cblas_ddot(n, a, 1, b, 1); });
    add("dot/plain", [](const double* a, const double* b, int n) { return plain_dot(a, b, n); });
    add("squares/halvex", [](const double* a, const double*, int n) { return __vectorized_square_accumulate(a, n); });
    add("squares/openblas", [](const double* a, const double*, int n) { return cblas_ddot(n, a, 1, a, 1); });
    add("squares/plain", [](const double* a, const double*, int n) { return plain_squares(a, n); });
    benchmark::RegisterBenchmark("memory/read_256MiB", memory_read)->Unit(benchmark::kMillisecond);

    benchmark::Initialize(&argc, argv);
    bench::collector out;
    benchmark::RunSpecifiedBenchmarks(&out);

    const double mem_ns_per_elem = out.ns("memory/read_256MiB") / static_cast<double>((256u << 20) / sizeof(double));
    std::printf("\nelements per ns (ratio = halvex / other, higher is better for halvex)\n");
    std::printf("%-8s %9s %9s %9s %9s %9s %9s\n", "kernel", "n", "halvex", "openblas", "plain",
                "vs blas", "vs plain");
    for (const char* k : {"dot", "squares"}) {
        for (int n : sizes) {
            const double h = out.ns(name(k, "halvex", n));
            const double o = out.ns(name(k, "openblas", n));
            const double p = out.ns(name(k, "plain", n));
            if (h == 0 || o == 0 || p == 0) continue;  // filtered out of this run
            std::printf("%-8s %9d %9.3f %9.3f %9.3f %8.2fx %8.2fx\n", k, n, n / h, n / o, n / p, o / h, p / h);
        }
    }
    std::printf("memory read limit: %.3f elements per ns (8-byte elements, 256 MiB)\n", 1.0 / mem_ns_per_elem);
    for (const char* k : {"dot", "squares"}) {
        const double h = out.ns(name(k, "halvex", 10000000));
        if (h == 0 || mem_ns_per_elem == 0) continue;
        // The dot product reads two elements per step, the sum of squares one.
        const double per_step = std::string(k) == "dot" ? 2.0 : 1.0;
        std::printf("%-8s at 1e7: %.2f of the memory read limit\n", k, mem_ns_per_elem * per_step * 1e7 / h);
    }
    return 0;
}
