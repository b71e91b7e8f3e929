// Dot product and sum of squares, compiled alone at -O3 -ffast-math.
//
// Both kernels keep several independent partial sums so that consecutive adds do not
// wait on each other; the compiler maps them onto vector registers (x86-64) or onto the
// 16 double registers of the VFP (the board), where it also merges the loads of one
// block into multi-register loads.
#include "hx/vecmath.h"

#include <cstdint>

namespace {

#if defined(__x86_64__)
// Eight 256-bit (or four 512-bit) accumulators cover the latency of two FMA ports.
constexpr int lanes = 32;
#else
constexpr int lanes = 4;
#endif

template <bool square>
[[gnu::always_inline]] inline double accumulate(const double* __restrict a,
                                                const double* __restrict b, int n)
{
    double part[lanes] = {};
    double head = 0.0;
    int i = 0;
#if defined(__x86_64__)
    // Start the blocks on a cache line of a: a 64-byte load that straddles two lines
    // costs two.
    for (; i < n && (reinterpret_cast<uintptr_t>(a + i) & 63) != 0; ++i)
        head += a[i] * (square ? a[i] : b[i]);
#endif
    for (; i + lanes <= n; i += lanes) {
        for (int k = 0; k < lanes; ++k) part[k] += a[i + k] * (square ? a[i + k] : b[i + k]);
    }
    double sum = head;
    for (; i < n; ++i) sum += a[i] * (square ? a[i] : b[i]);
    for (int k = 0; k < lanes; ++k) sum += part[k];
    return sum;
}

#if defined(__arm__) && defined(__VFP_FP__) && !defined(__SOFTFP__)
// The board's VFP has no SIMD: what costs is instructions. GCC keeps one vldr per
// element (it does not merge VFP loads into multi-register loads), so the block loop
// is written with vldmia: per 4 elements two loads (one for squares), four
// multiply-accumulates, a count and a branch. Four independent sums; the rest and the
// tail stay in C++.
[[gnu::always_inline]] inline double vfp_dot(const double* a, const double* b, int n)
{
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    int blocks = n / 4;
    if (blocks > 0) {
        asm volatile(
            "1:\n\t"
            "vldmia %[a]!, {d0-d3}\n\t"
            "vldmia %[b]!, {d4-d7}\n\t"
            "vmla.f64 %P[s0], d0, d4\n\t"
            "vmla.f64 %P[s1], d1, d5\n\t"
            "vmla.f64 %P[s2], d2, d6\n\t"
            "vmla.f64 %P[s3], d3, d7\n\t"
            "subs %[k], %[k], #1\n\t"
            "bne 1b"
            : [a] "+r"(a), [b] "+r"(b), [k] "+r"(blocks), [s0] "+w"(s0), [s1] "+w"(s1),
              [s2] "+w"(s2), [s3] "+w"(s3)
            :
            : "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "cc", "memory");
    }
    double sum = 0.0;
    for (int i = 0; i < n % 4; ++i) sum += a[i] * b[i];
    return sum + s0 + s1 + s2 + s3;
}

[[gnu::always_inline]] inline double vfp_squares(const double* a, int n)
{
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    int blocks = n / 4;
    if (blocks > 0) {
        asm volatile(
            "1:\n\t"
            "vldmia %[a]!, {d0-d3}\n\t"
            "vmla.f64 %P[s0], d0, d0\n\t"
            "vmla.f64 %P[s1], d1, d1\n\t"
            "vmla.f64 %P[s2], d2, d2\n\t"
            "vmla.f64 %P[s3], d3, d3\n\t"
            "subs %[k], %[k], #1\n\t"
            "bne 1b"
            : [a] "+r"(a), [k] "+r"(blocks), [s0] "+w"(s0), [s1] "+w"(s1), [s2] "+w"(s2),
              [s3] "+w"(s3)
            :
            : "d0", "d1", "d2", "d3", "cc", "memory");
    }
    double sum = 0.0;
    for (int i = 0; i < n % 4; ++i) sum += a[i] * a[i];
    return sum + s0 + s1 + s2 + s3;
}
#endif

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
#elif defined(__arm__) && defined(__VFP_FP__) && !defined(__SOFTFP__)
double __vectorized_mult_accumulate(const double* __restrict a, const double* __restrict b, int n)
{
    return vfp_dot(a, b, n);
}

double __vectorized_square_accumulate(const double* __restrict a, int n)
{
    return vfp_squares(a, n);
}
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
