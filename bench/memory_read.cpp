// The read limit of the kernels' own access pattern: their loop (library/src/math/
// vecmath_x86_64.cpp) with the multiply-adds taken out, reading the same arrays with the
// same vector width and the same number of partial sums as the library's clone for this
// processor and size. A kernel reads the same bytes the same way and does more with
// them: its time cannot be below this loop's.
#include "plain_loops.h"

#include <cstddef>
#include <cstdint>

namespace {

typedef double v2d __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));

template <typename V, int A, bool two>
[[gnu::always_inline]] inline double read(const double* __restrict a, const double* __restrict b, std::size_t n)
{
    constexpr std::size_t W = sizeof(V) / sizeof(double);
    V acc[A] = {};
    std::size_t i = 0;
    while (i < n && (reinterpret_cast<uintptr_t>(a + i) & 63) != 0) ++i;
    for (; i + W * A <= n; i += W * A) {
        for (int k = 0; k < A; ++k) {
            V x, y;
            __builtin_memcpy(&x, a + i + static_cast<std::size_t>(k) * W, sizeof x);
            if (two) __builtin_memcpy(&y, b + i + static_cast<std::size_t>(k) * W, sizeof y);
            acc[k] += two ? x + y : x;
        }
    }
    double total = 0;
    for (const V& v : acc)
        for (std::size_t w = 0; w < W; ++w) total += v[w];
    return total;
}

template <bool two>
double base(const double* a, const double* b, std::size_t n)
{
    return read<v2d, 8, two>(a, b, n);
}
template <bool two>
[[gnu::target("avx2")]] double avx2(const double* a, const double* b, std::size_t n)
{
    return read<v4d, 8, two>(a, b, n);
}
template <bool two>
[[gnu::target("avx512f")]] double avx512(const double* a, const double* b, std::size_t n)
{
    return read<v8d, 4, two>(a, b, n);
}

// The library's choice of clone (vecmath_x86_64.cpp's best_unit and its AMD limit).
template <bool two>
double like_the_kernel(const double* a, const double* b, std::size_t n)
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f"))
        return __builtin_cpu_is("amd") && n >= (std::size_t{1} << 21) ? avx2<two>(a, b, n) : avx512<two>(a, b, n);
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return avx2<two>(a, b, n);
    return base<two>(a, b, n);
}

}  // namespace

double read_like_dot(const double* a, const double* b, std::size_t n) { return like_the_kernel<true>(a, b, n); }
double read_like_squares(const double* a, std::size_t n) { return like_the_kernel<false>(a, a, n); }
