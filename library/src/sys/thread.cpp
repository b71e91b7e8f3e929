// Thread service: pthread creation with a policy, and a join with a deadline.
#include "hx/thread.h"

#include "deadline.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sched.h>

namespace {

void report(const char* who, const char* what, int err)
{
    std::fprintf(stderr, "ERROR in %s, %s: %s\n", who, what, std::strerror(err));
}

// Fills attr for the policy; returns 0 or an error number.
int set_policy(pthread_attr_t* attr, int policy, int priority)
{
    if (policy == HX_THREAD_NORMAL) return priority == 0 ? 0 : EINVAL;
    const int sys_policy = policy == HX_THREAD_FIFO ? SCHED_FIFO : SCHED_RR;
    if (priority < sched_get_priority_min(sys_policy) ||
        priority > sched_get_priority_max(sys_policy)) {
        return EINVAL;
    }
    // Without EXPLICIT_SCHED the new thread silently inherits the creator's policy.
    int rc = pthread_attr_setinheritsched(attr, PTHREAD_EXPLICIT_SCHED);
    if (rc == 0) rc = pthread_attr_setschedpolicy(attr, sys_policy);
    sched_param param{};
    param.sched_priority = priority;
    if (rc == 0) rc = pthread_attr_setschedparam(attr, &param);
    return rc;
}

// Joins thread, giving up at deadline on the monotonic clock, which keeps the time-out
// honest when the wall clock is set.
int join_until(pthread_t thread, void** result, timespec deadline)
{
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer (GCC 12) does not intercept pthread_clockjoin_np and would report
    // every thread joined through it as leaked: use the wall-clock variant it knows.
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    const timespec rest = hx::deadline::left(deadline);
    wall = hx::deadline::plus(wall, rest.tv_sec * 1000000000LL + rest.tv_nsec);
    return pthread_timedjoin_np(thread, result, &wall);
#else
    return pthread_clockjoin_np(thread, result, CLOCK_MONOTONIC, &deadline);
#endif
}

}  // namespace

extern "C" {

int hx_pthread_create(pthread_t* thread, void* (*func)(void*), void* arg, int policy,
                      int priority)
{
    constexpr const char* who = "hx_pthread_create";
    if (thread == nullptr || func == nullptr) {
        report(who, "thread and function must not be NULL", EINVAL);
        return -1;
    }
    if (policy != HX_THREAD_NORMAL && policy != HX_THREAD_FIFO && policy != HX_THREAD_RR) {
        report(who, "policy must be 0 (normal), 1 (FIFO) or 2 (round robin)", EINVAL);
        return -1;
    }
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        report(who, "pthread_attr_init", rc);
        return -1;
    }
    rc = set_policy(&attr, policy, priority);
    if (rc != 0) {
        pthread_attr_destroy(&attr);
        report(who, "priority not valid for the policy", rc);
        return -1;
    }
    pthread_t t;
    rc = pthread_create(&t, &attr, func, arg);
    pthread_attr_destroy(&attr);
    if (rc == EPERM) {
        report(who, "real-time scheduling not permitted (needs CAP_SYS_NICE or an rtprio limit)",
               rc);
        return -1;
    }
    if (rc != 0) {
        report(who, "pthread_create", rc);
        return -1;
    }
    *thread = t;
    return 0;
}

int hx_pthread_timed_join(pthread_t thread, void** result, float timeout_s)
{
    constexpr const char* who = "hx_pthread_timed_join";
    if (!(timeout_s >= 0.0f) || timeout_s > 1e9f) {
        report(who, "time-out must be between 0 and 1e9 seconds", EINVAL);
        return -1;
    }
    const timespec deadline = hx::deadline::after(static_cast<double>(timeout_s));
    const int rc = join_until(thread, result, deadline);
    if (rc == 0) return HX_JOIN_DONE;
    if (rc == ETIMEDOUT) return HX_JOIN_TIMED_OUT;
    report(who, "pthread_clockjoin_np", rc);
    return -1;
}

}  // extern "C"
