#ifndef HX_BENCH_PLAIN_LOOPS_H
#define HX_BENCH_PLAIN_LOOPS_H

#include <cstddef>

double plain_dot(const double* a, const double* b, int n);
double plain_squares(const double* a, int n);
double read_like_dot(const double* a, const double* b, std::size_t n);
double read_like_squares(const double* a, std::size_t n);

#endif
