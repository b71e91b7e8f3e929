// Dot product and sum of squares, compiled alone at -O3 -ffast-math.
//
// Both kernels keep several independent partial sums so that consecutive adds do not
// wait on each other; the compiler maps them onto vector registers (x86-64) or onto the
// 16 double registers of the VFP (the board), where it also merges the loads of one
// block into multi-register loads.
#include "hx/vecmath.h"

namespace {

#if defined(__x86_64__)
// Eight 256-bit (or four 512-bit) accumulators cover the latency of two FMA ports.
constexpr int lanes = 32;
#else
// Four accumulators plus eight loaded values fit the 16 double registers of VFPv3-D16.
constexpr int lanes = 4;
#endif

template <bool square>
[[gnu::always_inline]] inline double accumulate(const double* __restrict a,
                                                const double* __restrict b, int n)
{
    double part[lanes] = {};
    int i = 0;
    for (; i + lanes <= n; i += lanes) {
        for (int k = 0; k < lanes; ++k) part[k] += a[i + k] * (square ? a[i + k] : b[i + k]);
    }
    double sum = 0.0;
    for (; i < n; ++i) sum += a[i] * (square ? a[i] : b[i]);
    for (int k = 0; k < lanes; ++k) sum += part[k];
    return sum;
}

#if defined(__x86_64__)
// The library must load on any x86-64: pick the widest unit at load time (ifunc).
using dot_fn = double(const double*, const double*, int);
using sq_fn = double(const double*, int);

double dot_base(const double* a, const double* b, int n) { return accumulate<false>(a, b, n); }
[[gnu::target("avx2,fma")]] double dot_avx2(const double* a, const double* b, int n)
{
    return accumulate<false>(a, b, n);
}
[[gnu::target("avx512f")]] double dot_avx512(const double* a, const double* b, int n)
{
    return accumulate<false>(a, b, n);
}
double sq_base(const double* a, int n) { return accumulate<true>(a, a, n); }
[[gnu::target("avx2,fma")]] double sq_avx2(const double* a, int n) { return accumulate<true>(a, a, n); }
[[gnu::target("avx512f")]] double sq_avx512(const double* a, int n) { return accumulate<true>(a, a, n); }

int best_unit()
{
    __builtin_cpu_init();  // resolvers run before the constructors that would do it
    if (__builtin_cpu_supports("avx512f")) return 2;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return 1;
    return 0;
}

#endif

}  // namespace

extern "C" {

#if defined(__x86_64__)
// Resolvers: called by the dynamic loader, so they must have external linkage.
[[gnu::visibility("hidden")]] dot_fn* vecmath_resolve_dot()
{
    constexpr dot_fn* table[] = {dot_base, dot_avx2, dot_avx512};
    return table[best_unit()];
}
[[gnu::visibility("hidden")]] sq_fn* vecmath_resolve_square()
{
    constexpr sq_fn* table[] = {sq_base, sq_avx2, sq_avx512};
    return table[best_unit()];
}

double __vectorized_mult_accumulate(const double* __restrict a, const double* __restrict b,
                                    int n) __attribute__((ifunc("vecmath_resolve_dot")));
double __vectorized_square_accumulate(const double* __restrict a, int n)
    __attribute__((ifunc("vecmath_resolve_square")));
#else
double __vectorized_mult_accumulate(const double* __restrict a, const double* __restrict b, int n)
{
    return accumulate<false>(a, b, n);
}

double __vectorized_square_accumulate(const double* __restrict a, int n)
{
    return accumulate<true>(a, a, n);
}
#endif

}  // extern "C"
