// Dot product and sum of squares for x86-64, compiled alone at -O3 -ffast-math.
//
// Both kernels keep several independent partial sums in vector registers of the width
// each clone chooses, so that consecutive adds do not wait on each other; the clone for
// the processor is picked when the library is loaded.
#include "hx/vecmath.h"

#include <cstdint>

namespace {

// The few elements before the first block and after the last each go to a partial sum
// of their own (edge), and the partial sums are added pairwise at the end: a chain of
// dependent adds there would cost more than the whole loop at n = 1000.
//
// Explicit vectors, so that each clone chooses its width: V holds W doubles, and A
// accumulators of it cover the multiply-add latency.
typedef double v2d __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));
typedef double v8d __attribute__((vector_size(64)));

template <typename V, int A, bool square>
[[gnu::always_inline]] inline double accumulate(const double* __restrict a,
                                                const double* __restrict b, int n)
{
    constexpr int W = sizeof(V) / sizeof(double);
    V acc[A] = {};
    double edge[8] = {};
    int i = 0;
    // Start the blocks on a cache line of a: a 64-byte load that straddles two lines
    // costs two.
    for (int k = 0; i < n && (reinterpret_cast<uintptr_t>(a + i) & 63) != 0; ++i, ++k)
        edge[k] += a[i] * (square ? a[i] : b[i]);
    for (; i + W * A <= n; i += W * A) {
        for (int k = 0; k < A; ++k) {
            V x, y;
            __builtin_memcpy(&x, a + i + k * W, sizeof x);
            if (!square) __builtin_memcpy(&y, b + i + k * W, sizeof y);
            acc[k] += x * (square ? x : y);
        }
    }
    for (int k = 0; i + W <= n; i += W, k = (k + 1) % A) {
        V x, y;
        __builtin_memcpy(&x, a + i, sizeof x);
        if (!square) __builtin_memcpy(&y, b + i, sizeof y);
        acc[k] += x * (square ? x : y);
    }
    for (int k = 0; i < n; ++i, ++k) edge[k] += a[i] * (square ? a[i] : b[i]);
    for (int w = A / 2; w > 0; w /= 2)
        for (int k = 0; k < w; ++k) acc[k] += acc[k + w];
    double lane[W];
    __builtin_memcpy(lane, &acc[0], sizeof lane);
    for (int k = 0; k < 8; ++k) lane[k % W] += edge[k];
    for (int w = W / 2; w > 0; w /= 2)
        for (int k = 0; k < w; ++k) lane[k] += lane[k + w];
    return lane[0];
}

// The library must load on any x86-64: pick the clone for the processor at load time
// (ifunc).
using dot_fn = double(const double*, const double*, int);
using sq_fn = double(const double*, int);

// Where AMD processors with AVX-512 (which split 512-bit operations in two) stream from
// memory, 256-bit loops read faster; in the caches, 512-bit ones do. Measured on an AMD
// EPYC (bench/vecmath_bench): the crossing lies between 1e6 and 1e7 elements.
constexpr int amd_wide_limit = 1 << 21;

double dot_base(const double* a, const double* b, int n) { return accumulate<v2d, 8, false>(a, b, n); }
[[gnu::target("avx2,fma")]] double dot_avx2(const double* a, const double* b, int n)
{
    return accumulate<v4d, 8, false>(a, b, n);
}
[[gnu::target("avx512f")]] double dot_avx512(const double* a, const double* b, int n)
{
    return accumulate<v8d, 4, false>(a, b, n);
}
[[gnu::target("avx512f")]] double dot_avx512_amd(const double* a, const double* b, int n)
{
    return n < amd_wide_limit ? accumulate<v8d, 4, false>(a, b, n) : accumulate<v4d, 8, false>(a, b, n);
}
double sq_base(const double* a, int n) { return accumulate<v2d, 8, true>(a, a, n); }
[[gnu::target("avx2,fma")]] double sq_avx2(const double* a, int n) { return accumulate<v4d, 8, true>(a, a, n); }
[[gnu::target("avx512f")]] double sq_avx512(const double* a, int n) { return accumulate<v8d, 4, true>(a, a, n); }
[[gnu::target("avx512f")]] double sq_avx512_amd(const double* a, int n)
{
    return n < amd_wide_limit ? accumulate<v8d, 4, true>(a, a, n) : accumulate<v4d, 8, true>(a, a, n);
}

// The resolvers run while the dynamic loader binds the library, before any sanitizer's
// runtime is up (with LD_BIND_NOW, before its shadow memory exists): neither they nor
// what they call may be instrumented.
#define HX_RESOLVER_CODE gnu::no_sanitize("address", "undefined", "thread")

// 0 baseline, 1 AVX2 + FMA, 2 AVX-512, 3 AVX-512 on AMD.
[[HX_RESOLVER_CODE]] int best_unit()
{
    __builtin_cpu_init();  // resolvers run before the constructors that would do it
    if (__builtin_cpu_supports("avx512f")) return __builtin_cpu_is("amd") ? 3 : 2;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return 1;
    return 0;
}

}  // namespace

extern "C" {

// Resolvers: called by the dynamic loader, so they must have external linkage.
[[gnu::visibility("hidden"), HX_RESOLVER_CODE]] dot_fn* vecmath_resolve_dot()
{
    constexpr dot_fn* table[] = {dot_base, dot_avx2, dot_avx512, dot_avx512_amd};
    return table[best_unit()];
}
[[gnu::visibility("hidden"), HX_RESOLVER_CODE]] sq_fn* vecmath_resolve_square()
{
    constexpr sq_fn* table[] = {sq_base, sq_avx2, sq_avx512, sq_avx512_amd};
    return table[best_unit()];
}

double __vectorized_mult_accumulate(const double* __restrict a, const double* __restrict b,
                                    int n) __attribute__((ifunc("vecmath_resolve_dot")));
double __vectorized_square_accumulate(const double* __restrict a, int n)
    __attribute__((ifunc("vecmath_resolve_square")));

}  // extern "C"
