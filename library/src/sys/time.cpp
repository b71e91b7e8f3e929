// Sleep service: clock_nanosleep with an absolute monotonic deadline.
#include "hx/time.h"

#include "deadline.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

extern "C" int hx_usleep(unsigned int us)
{
    const timespec deadline = hx::deadline::plus(hx::deadline::now(), 1000LL * us);
    int rc;
    // clock_nanosleep returns the error number instead of setting errno.
    while ((rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr)) == EINTR) {
    }
    if (rc != 0) {
        std::fprintf(stderr, "ERROR in hx_usleep, clock_nanosleep: %s\n", std::strerror(rc));
        return -1;
    }
    return 0;
}
