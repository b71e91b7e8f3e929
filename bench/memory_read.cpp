// A plain sum with independent partial sums and the widest loads of this machine: what
// it takes per element is the memory-read limit that a kernel cannot beat.
#include "plain_loops.h"

#include <cstddef>

double sum_all(const double* a, std::size_t n)
{
    double s[32] = {};
    for (std::size_t i = 0; i + 32 <= n; i += 32)
        for (int k = 0; k < 32; ++k) s[k] += a[i + static_cast<std::size_t>(k)];
    double total = 0;
    for (double x : s) total += x;
    return total;
}
