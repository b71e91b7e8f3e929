// The accumulation kernels against a long double reference, within the rounding that
// reordering allows.
#include <hx/vecmath.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

struct reference {
    long double sum;
    long double magnitude;  // sum of |a_i * b_i|
};

reference exact(const std::vector<double>& a, const std::vector<double>& b)
{
    reference r{0.0L, 0.0L};
    for (size_t i = 0; i < a.size(); ++i) {
        const long double p = static_cast<long double>(a[i]) * b[i];
        r.sum += p;
        r.magnitude += std::fabs(p);
    }
    return r;
}

// Any order of n additions (and contraction) stays within n * eps * sum |a_i b_i|.
void expect_close(double got, const reference& r, size_t n, const char* what)
{
    const long double bound = (n + 2) * DBL_EPSILON * r.magnitude;
    EXPECT_LE(std::fabs(got - r.sum), bound) << what << " n=" << n;
}

std::vector<double> filled(size_t n, int pattern, std::mt19937_64& rng)
{
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> v(n);
    for (size_t i = 0; i < n; ++i) {
        switch (pattern) {
        case 0: v[i] = u(rng); break;                                    // random
        case 1: v[i] = 0.1; break;                                       // all equal
        case 2: v[i] = (i % 2 ? -1.0 : 1.0) * (1.0 + u(rng) * 1e-3); break;  // alternating
        default: v[i] = (i % 3 == 0 ? 1e150 : 1e-150) * u(rng); break;   // tiny and huge
        }
    }
    return v;
}

TEST(Vecmath, TheTextbookExamplesAreExact)
{
    const double a[] = {1, 2, 3};
    const double b[] = {4, 5, 6};
    const double c[] = {3, 4};
    EXPECT_EQ(__vectorized_mult_accumulate(a, b, 3), 32.0);
    EXPECT_EQ(__vectorized_square_accumulate(c, 2), 25.0);
}

TEST(Vecmath, EmptyAndNegativeLengthsReadNothing)
{
    EXPECT_EQ(__vectorized_mult_accumulate(nullptr, nullptr, 0), 0.0);
    EXPECT_EQ(__vectorized_mult_accumulate(nullptr, nullptr, -5), 0.0);
    EXPECT_EQ(__vectorized_square_accumulate(nullptr, 0), 0.0);
    EXPECT_EQ(__vectorized_square_accumulate(nullptr, -5), 0.0);
}

TEST(Vecmath, ResultsMatchTheInOrderSumWithinRounding)
{
    std::mt19937_64 rng(2026);
    std::vector<size_t> sizes;
    for (size_t n = 1; n <= 70; ++n) sizes.push_back(n);  // every tail length of the blocks
    for (size_t n : {1000u, 4099u, 100000u}) sizes.push_back(n);
    for (int pattern = 0; pattern < 4; ++pattern) {
        for (size_t n : sizes) {
            const auto a = filled(n, pattern, rng);
            const auto b = filled(n, pattern, rng);
            expect_close(__vectorized_mult_accumulate(a.data(), b.data(), static_cast<int>(n)),
                         exact(a, b), n, "dot");
            expect_close(__vectorized_square_accumulate(a.data(), static_cast<int>(n)), exact(a, a),
                         n, "squares");
        }
    }
}

TEST(Vecmath, EveryElementCountsOnceWhereverTheArraysStart)
{
    // Small integers add exactly in any order: a lost or doubled element shows at once.
    // Starting at each offset within a cache line exercises every head and tail length.
    std::vector<double> a(220), b(220);
    for (size_t i = 0; i < a.size(); ++i) {
        a[i] = static_cast<double>(i % 50) + 1;
        b[i] = static_cast<double>(i % 7) - 3;
    }
    for (size_t off = 0; off < 8; ++off) {
        for (int n = 1; n <= 200; ++n) {
            double expected = 0, squares = 0;
            for (size_t i = off; i < off + static_cast<size_t>(n); ++i) {
                expected += a[i] * b[i];
                squares += a[i] * a[i];
            }
            EXPECT_EQ(__vectorized_mult_accumulate(a.data() + off, b.data() + off, n), expected) << off << " " << n;
            EXPECT_EQ(__vectorized_square_accumulate(a.data() + off, n), squares) << off << " " << n;
        }
    }
}

TEST(Vecmath, BeyondTheCachesEveryElementCountsOnceToo)
{
    // Past 2^21 elements a clone may switch to a loop of another width.
    const size_t n = (size_t{1} << 21) + 37;
    std::vector<double> a(n + 1), b(n + 1);
    double expected = 0, squares = 0;
    for (size_t i = 0; i < n + 1; ++i) {
        a[i] = static_cast<double>(i % 7) - 3;
        b[i] = static_cast<double>(i % 5) - 2;
    }
    for (size_t off : {size_t{0}, size_t{1}}) {
        expected = squares = 0;
        for (size_t i = off; i < off + n; ++i) {
            expected += a[i] * b[i];
            squares += a[i] * a[i];
        }
        EXPECT_EQ(__vectorized_mult_accumulate(a.data() + off, b.data() + off, static_cast<int>(n)), expected) << off;
        EXPECT_EQ(__vectorized_square_accumulate(a.data() + off, static_cast<int>(n)), squares) << off;
    }
}

#if defined(__x86_64__)
// The clones the library picks from at load time run by making the processor another:
// the same tests under qemu-x86_64 with an AVX2 processor and with a baseline one.
// HX_EXPECT_CPU says which the test was started on; this proves it is so.
TEST(Vecmath, RunsOnTheProcessorItWasStartedOn)
{
    const char* expect = std::getenv("HX_EXPECT_CPU");
    if (expect == nullptr) GTEST_SKIP() << "started on this machine's own processor";
    __builtin_cpu_init();
    const bool avx512 = __builtin_cpu_supports("avx512f"), avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    if (std::strcmp(expect, "avx2") == 0) {
        EXPECT_TRUE(avx2 && !avx512);
    } else {
        EXPECT_TRUE(!avx2 && !avx512) << expect;
    }
}
#endif

}  // namespace
