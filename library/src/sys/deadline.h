// The monotonic clock and deadlines on it, shared by the services (sleep, thread,
// serial, servo, buttons).
#ifndef HX_SRC_DEADLINE_H
#define HX_SRC_DEADLINE_H

#include <ctime>

namespace hx::deadline {

constexpr long ns_per_s = 1000000000L;

inline timespec now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

// Now, in nanoseconds: for intervals measured against each other.
inline long long now_ns()
{
    const timespec t = now();
    return static_cast<long long>(t.tv_sec) * ns_per_s + t.tv_nsec;
}

// t moved on by ns nanoseconds (ns >= 0).
inline timespec plus(timespec t, long long ns)
{
    t.tv_sec += static_cast<time_t>(ns / ns_per_s);
    t.tv_nsec += static_cast<long>(ns % ns_per_s);
    if (t.tv_nsec >= ns_per_s) {
        t.tv_sec += 1;
        t.tv_nsec -= ns_per_s;
    }
    return t;
}

// The moment `seconds` (>= 0) from now.
inline timespec after(double seconds)
{
    return plus(now(), static_cast<long long>(seconds * 1e9));
}

// Time left until t, never negative.
inline timespec left(timespec t)
{
    const timespec n = now();
    timespec d{t.tv_sec - n.tv_sec, t.tv_nsec - n.tv_nsec};
    if (d.tv_nsec < 0) {
        d.tv_sec -= 1;
        d.tv_nsec += ns_per_s;
    }
    if (d.tv_sec < 0) return timespec{0, 0};
    return d;
}

}  // namespace hx::deadline

#endif
