/* Thread helpers over POSIX threads: creation with a scheduling policy, and a join
 * that gives up after a time-out. */
#ifndef HX_THREAD_H
#define HX_THREAD_H

#include <pthread.h>

#include <hx/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Scheduling policies for hx_pthread_create. */
#define HX_THREAD_NORMAL 0 /* the normal time-sharing scheduler; priority must be 0 */
#define HX_THREAD_FIFO 1   /* real-time first-in first-out (SCHED_FIFO) */
#define HX_THREAD_RR 2     /* real-time round robin (SCHED_RR) */

/* Results of hx_pthread_timed_join. */
#define HX_JOIN_DONE 0
#define HX_JOIN_TIMED_OUT 1

/* Start func(arg) on a new thread and store its handle in *thread. policy is one of
 * HX_THREAD_*; for the real-time policies priority is checked against the policy's
 * range. Returns 0, or -1 with a message (bad arguments, not permitted, no resources);
 * *thread is then unchanged. */
HX_EXPORT int hx_pthread_create(pthread_t* thread, void* (*func)(void*), void* arg, int policy,
                                int priority);

/* Wait for thread to end, for at most timeout_s seconds (measured on the monotonic
 * clock from the call). On HX_JOIN_DONE the thread's result is stored in *result
 * (when result is not NULL) and the thread is gone. HX_JOIN_TIMED_OUT: the thread
 * still runs and may be joined again later. -1 (with a message): invalid thread or
 * time-out, or the thread cannot be joined. */
HX_EXPORT int hx_pthread_timed_join(pthread_t thread, void** result, float timeout_s);

#ifdef __cplusplus
}
#endif

#endif
