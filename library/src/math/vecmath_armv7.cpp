// Dot product and sum of squares for the board (ARMv7-A, VFPv3-D16, hard-float),
// compiled alone at -O3 -ffast-math: four independent sums in the VFP's double
// registers, fed by multi-register loads.
#include "hx/vecmath.h"

#if !defined(__arm__) || !defined(__VFP_FP__) || defined(__SOFTFP__)
#error "vecmath_armv7.cpp is for ARM with a hard-float VFP; CMake picks vecmath.cpp elsewhere"
#endif

namespace {

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
}  // namespace

extern "C" {

double __vectorized_mult_accumulate(const double* __restrict a, const double* __restrict b, int n)
{
    return vfp_dot(a, b, n);
}

double __vectorized_square_accumulate(const double* __restrict a, int n)
{
    return vfp_squares(a, n);
}

}  // extern "C"
