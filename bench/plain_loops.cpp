// The in-order loops the kernels are measured against, compiled without fast-math so
// that the compiler must keep every add in index order.
#include "plain_loops.h"

double plain_dot(const double* a, const double* b, int n)
{
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += a[i] * b[i];
    return sum;
}

double plain_squares(const double* a, int n)
{
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += a[i] * a[i];
    return sum;
}
