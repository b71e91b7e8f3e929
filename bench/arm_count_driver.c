/* Calls each kernel of the board build once at n = 1000 and prints where the library
 * was loaded, so that bench/count_arm_instructions can attribute the executed
 * instructions of a qemu-arm trace to the kernels. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>

typedef double dot_fn(const double*, const double*, int);
typedef double sq_fn(const double*, int);

int main(int argc, char** argv)
{
    if (argc != 2) return 2;
    void* lib = dlopen(argv[1], RTLD_NOW);
    if (lib == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    dot_fn* dot = (dot_fn*)dlsym(lib, "__vectorized_mult_accumulate");
    sq_fn* sq = (sq_fn*)dlsym(lib, "__vectorized_square_accumulate");
    struct link_map* map = NULL;
    dlinfo(lib, RTLD_DI_LINKMAP, &map);
    static double a[1000], b[1000];
    for (int i = 0; i < 1000; ++i) {
        a[i] = i % 7;
        b[i] = 3 - i % 5;
    }
    /* The base first: the trace lines that follow belong to the calls. */
    printf("base %lx\n", (unsigned long)map->l_addr);
    fflush(stdout);
    const double d = dot(a, b, 1000);
    const double s = sq(a, 1000);
    printf("results %g %g\n", d, s);
    return 0;
}
