// The thread and sleep services.
#include "support/capture.h"

#include <hx/thread.h>
#include <hx/time.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <thread>

namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::atomic<bool> release{false};

void* quick(void* arg) { return arg; }
void* until_released(void*)
{
    while (!release) std::this_thread::sleep_for(1ms);
    return nullptr;
}

TEST(Thread, TimedJoinTellsAnEndedThreadFromOneThatRunsOn)
{
    pthread_t t;
    int token = 7;
    ASSERT_EQ(hx_pthread_create(&t, quick, &token, HX_THREAD_NORMAL, 0), 0);
    void* result = nullptr;
    EXPECT_EQ(hx_pthread_timed_join(t, &result, 1.0f), HX_JOIN_DONE);
    EXPECT_EQ(result, &token);

    release = false;
    ASSERT_EQ(hx_pthread_create(&t, until_released, nullptr, HX_THREAD_NORMAL, 0), 0);
    const auto t0 = clock_type::now();
    EXPECT_EQ(hx_pthread_timed_join(t, nullptr, 0.25f), HX_JOIN_TIMED_OUT);
    const auto took = clock_type::now() - t0;
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 450ms);
    release = true;  // a thread that timed out can still be joined later
    EXPECT_EQ(hx_pthread_timed_join(t, nullptr, 1.0f), HX_JOIN_DONE);
}

TEST(Thread, BadArgumentsAndRealTimeRequestsAreAnswered)
{
    pthread_t t{};
    EXPECT_EQ(stderr_of([&] { EXPECT_EQ(hx_pthread_create(&t, nullptr, nullptr, 0, 0), -1); }),
              "ERROR in hx_pthread_create, thread and function must not be NULL: Invalid argument\n");
    EXPECT_EQ(stderr_of([&] { EXPECT_EQ(hx_pthread_create(&t, quick, nullptr, 5, 0), -1); }),
              "ERROR in hx_pthread_create, policy must be 0 (normal), 1 (FIFO) or 2 (round robin): "
              "Invalid argument\n");
    EXPECT_EQ(stderr_of([&] { EXPECT_EQ(hx_pthread_create(&t, quick, nullptr, HX_THREAD_FIFO, 0), -1); }),
              "ERROR in hx_pthread_create, priority not valid for the policy: Invalid argument\n");
    EXPECT_EQ(stderr_of([&] { EXPECT_EQ(hx_pthread_timed_join(t, nullptr, -1.0f), -1); }),
              "ERROR in hx_pthread_timed_join, time-out must be between 0 and 1e9 seconds: "
              "Invalid argument\n");

    // A real-time thread either starts (with the privilege) or is refused with a reason.
    std::string err;
    int rc = 0;
    err = stderr_of([&] { rc = hx_pthread_create(&t, quick, nullptr, HX_THREAD_FIFO, 10); });
    if (rc == 0) {
        EXPECT_EQ(err, "");
        EXPECT_EQ(hx_pthread_timed_join(t, nullptr, 1.0f), HX_JOIN_DONE);
    } else {
        EXPECT_EQ(err, "ERROR in hx_pthread_create, real-time scheduling not permitted (needs "
                       "CAP_SYS_NICE or an rtprio limit): Operation not permitted\n");
    }
}

TEST(Sleep, SleepsTheWholeTimeThroughSignals)
{
    struct sigaction sa{};
    sa.sa_handler = [](int) {};
    sigaction(SIGUSR1, &sa, nullptr);
    const pthread_t sleeper = pthread_self();
    std::thread poker([sleeper] {
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(20ms);
            pthread_kill(sleeper, SIGUSR1);
        }
    });
    const auto t0 = clock_type::now();
    EXPECT_EQ(hx_usleep(200000), 0);
    const auto took = clock_type::now() - t0;
    poker.join();
    EXPECT_GE(took, 200ms);
    EXPECT_LT(took, 400ms);
}

TEST(Thread, ATimedJoinRidesOutASignalStorm)
{
    struct sigaction sa{};
    sa.sa_handler = [](int) {};
    sigaction(SIGUSR1, &sa, nullptr);
    release = false;
    pthread_t t;
    ASSERT_EQ(hx_pthread_create(&t, until_released, nullptr, HX_THREAD_NORMAL, 0), 0);
    const pthread_t joiner = pthread_self();
    std::atomic<bool> done{false};
    std::thread storm([&] {
        for (int i = 0; !done; ++i) {
            std::this_thread::sleep_for(2ms);
            pthread_kill(joiner, SIGUSR1);
            if (i == 50) release = true;  // the thread ends about 100 ms in
        }
    });
    const auto t0 = clock_type::now();
    EXPECT_EQ(hx_pthread_timed_join(t, nullptr, 1.0f), HX_JOIN_DONE);
    const auto took = clock_type::now() - t0;
    done = true;
    storm.join();
    EXPECT_GE(took, 80ms);
    EXPECT_LT(took, 900ms);
}

}  // namespace
