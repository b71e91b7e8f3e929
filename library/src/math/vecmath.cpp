// Dot product and sum of squares in portable C++, compiled alone at -O3 -ffast-math,
// for machines without a version of their own (vecmath_x86_64.cpp, vecmath_armv7.cpp):
// four independent partial sums, which the compiler may vectorise.
#include "hx/vecmath.h"

namespace {

// The few elements before the first block and after the last each go to a partial sum
// of their own (edge), and the partial sums are added pairwise at the end: a chain of
// dependent adds there would cost more than the whole loop at n = 1000.

constexpr int lanes = 4;

template <bool square>
[[gnu::always_inline]] inline double accumulate(const double* __restrict a,
                                                const double* __restrict b, int n)
{
    double part[lanes] = {};
    double edge[lanes] = {};
    int i = 0;
    for (; i + lanes <= n; i += lanes) {
        for (int k = 0; k < lanes; ++k) part[k] += a[i + k] * (square ? a[i + k] : b[i + k]);
    }
    for (int k = 0; i < n; ++i, ++k) edge[k] += a[i] * (square ? a[i] : b[i]);
    for (int k = 0; k < lanes; ++k) part[k] += edge[k];
    for (int w = lanes / 2; w > 0; w /= 2)
        for (int k = 0; k < w; ++k) part[k] += part[k + w];
    return part[0];
}
}  // namespace

extern "C" {

double __vectorized_mult_accumulate(const double* __restrict a, const double* __restrict b, int n)
{
    return accumulate<false>(a, b, n);
}

double __vectorized_square_accumulate(const double* __restrict a, int n)
{
    return accumulate<true>(a, a, n);
}

}  // extern "C"
