/* vecmath: the double-precision inner loops of the library's linear algebra.
 *
 * Built for speed with fast-math rules: the sum may be reordered, split into partial
 * sums and contracted into fused multiply-adds, so results may differ from the in-order
 * sum within rounding. No NaN or infinity handling is promised. Neither function checks
 * its pointers: pass arrays of at least n elements that do not overlap.
 */
#ifndef HX_VECMATH_H
#define HX_VECMATH_H

#include <hx/export.h>

#ifdef __cplusplus
#define HX_RESTRICT __restrict
extern "C" {
#else
#define HX_RESTRICT restrict
#endif

/* The dot product: sum of a[i] * b[i] for i in 0..n-1; 0.0 when n <= 0 (nothing read). */
HX_EXPORT double __vectorized_mult_accumulate(const double* HX_RESTRICT a,
                                              const double* HX_RESTRICT b, int n);

/* The sum of squares: sum of a[i] * a[i] for i in 0..n-1; 0.0 when n <= 0. */
HX_EXPORT double __vectorized_square_accumulate(const double* HX_RESTRICT a, int n);

#ifdef __cplusplus
}
#endif

#endif
