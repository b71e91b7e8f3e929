/* A robot's own C code, built against an installed halvex. */
#include <hx/button.h>
#include <hx/fwquad.h>
#include <hx/hwquad.h>
#include <hx/pru.h>
#include <hx/serial.h>
#include <hx/servo.h>
#include <hx/thread.h>
#include <hx/time.h>
#include <hx/vecmath.h>
#include <stdio.h>

int main(void)
{
    const double a[] = {1, 2, 3};
    const double b[] = {4, 5, 6};
    printf("%g\n", __vectorized_mult_accumulate(a, b, 3));
    return hx_usleep(1);
}
