// Sleep service: clock_nanosleep with an absolute monotonic deadline.
#include "hx/time.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

extern "C" int hx_usleep(unsigned int us)
{
    timespec deadline{};
    if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) {
        std::perror("ERROR in hx_usleep, can't read the monotonic clock");
        return -1;
    }
    deadline.tv_sec += static_cast<time_t>(us / 1000000u);
    deadline.tv_nsec += static_cast<long>(us % 1000000u) * 1000;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
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
