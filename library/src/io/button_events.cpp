#include "button_events.h"

#include "../sys/deadline.h"
#include "hx/button.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <linux/gpio.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

namespace hx::button_events {

namespace {

struct button {
    int chip;
    int pin;
    int polarity;
    int fd = -1;  // -1 when the slot is free
    records format;
    long long debounce_ns;  // the service's own debounce; 0 when the kernel debounces
    // The watcher's alone: the level last reported, and (own debounce) a change waiting
    // to have lasted debounce_ns.
    int level;
    bool pending;
    int pending_level;
    long long pending_since;
    std::atomic<callback> press{nullptr};
    std::atomic<callback> release{nullptr};
};

// Both record formats carry the edge in a 32-bit id at byte 8, with the same values.
static_assert(offsetof(gpio_v2_line_event, id) == 8 && offsetof(gpioevent_data, id) == 8);
static_assert(GPIO_V2_LINE_EVENT_RISING_EDGE == GPIOEVENT_EVENT_RISING_EDGE &&
              GPIO_V2_LINE_EVENT_FALLING_EDGE == GPIOEVENT_EVENT_FALLING_EDGE);

using hx::deadline::now_ns;

// The table only grows while the watcher runs (attach under the lock, then a wake-up);
// callbacks are swapped atomically so a registration never waits for a callback.
std::array<button, HX_BUTTON_MAX> table{};
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
int wake_fd = -1;  // eventfd: 1 = table changed, more = stop
bool watcher_running = false;
std::atomic<bool> watcher_failed{false};  // it ended on an error: restarted by the next attach
pthread_t watcher;
std::atomic<bool> stopping{false};

button* find(int chip, int pin)
{
    for (button& b : table) {
        if (b.fd >= 0 && b.chip == chip && b.pin == pin) return &b;
    }
    return nullptr;
}

// The line went to level (1 high, 0 low).
void dispatch(button& b, int level)
{
    const bool pressed = b.polarity == HX_BUTTON_PRESSED_LOW ? level == 0 : level == 1;
    const callback cb = pressed ? b.press.load() : b.release.load();
    if (cb != nullptr) cb();
}

void on_edge(button& b, uint32_t id, long long now)
{
    const int level = id == GPIO_V2_LINE_EVENT_RISING_EDGE ? 1 : 0;
    if (b.debounce_ns == 0) {
        // The kernel's debounce reports the level each time it has settled, which may be
        // the level already reported (a bounce that came back): only a change is a press
        // or a release.
        if (level == b.level) return;
        b.level = level;
        dispatch(b, level);
        return;
    }
    // A change counts once it has lasted; one undone before that was a glitch.
    b.pending = level != b.level;
    b.pending_level = level;
    b.pending_since = now;
}

// Reports the changes that have lasted; returns the poll time-out (ms) until the next
// one may, or -1 when none waits.
int settle(const std::array<button*, HX_BUTTON_MAX + 1>& owner, int n, long long now)
{
    long long wait_ns = -1;
    for (int i = 1; i < n; ++i) {
        button& b = *owner[i];
        if (!b.pending) continue;
        const long long left = b.pending_since + b.debounce_ns - now;
        if (left <= 0) {
            b.pending = false;
            b.level = b.pending_level;
            dispatch(b, b.level);
        } else if (wait_ns < 0 || left < wait_ns) {
            wait_ns = left;
        }
    }
    return wait_ns < 0 ? -1 : static_cast<int>((wait_ns + 999999) / 1000000);
}

void* watch(void*)
{
    std::array<pollfd, HX_BUTTON_MAX + 1> fds{};
    std::array<button*, HX_BUTTON_MAX + 1> owner{};
    for (;;) {
        int n = 0;
        fds[n++] = pollfd{wake_fd, POLLIN, 0};
        pthread_mutex_lock(&lock);
        for (button& b : table) {
            if (b.fd < 0) continue;
            owner[n] = &b;
            fds[n++] = pollfd{b.fd, POLLIN, 0};
        }
        pthread_mutex_unlock(&lock);

        const int timeout_ms = settle(owner, n, now_ns());
        if (poll(fds.data(), static_cast<nfds_t>(n), timeout_ms) < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr,
                         "ERROR in the button watcher, poll: %s; presses are not seen until the "
                         "next hx_button_init or hx_button_cleanup\n",
                         std::strerror(errno));
            watcher_failed.store(true);
            return nullptr;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t v = 0;
            if (read(wake_fd, &v, sizeof v) < 0) v = 0;
            if (stopping.load()) return nullptr;
            continue;  // the table changed: poll the new set
        }
        const long long now = now_ns();
        for (int i = 1; i < n; ++i) {
            if (fds[i].revents & POLLIN) {
                // The kernel hands out whole records; a short tail cannot happen.
                gpio_v2_line_event ev[16];
                const ssize_t size = owner[i]->format == records::v2 ? sizeof(gpio_v2_line_event)
                                                                     : sizeof(gpioevent_data);
                const ssize_t r = read(fds[i].fd, ev, sizeof ev);
                const auto* bytes = reinterpret_cast<const unsigned char*>(ev);
                for (ssize_t k = 0; k + size <= r; k += size) {
                    uint32_t id = 0;
                    std::memcpy(&id, bytes + k + 8, sizeof id);
                    on_edge(*owner[i], id, now);
                }
            } else if (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                // A line that went away is dropped from the watch, not spun on.
                pthread_mutex_lock(&lock);
                close(owner[i]->fd);
                owner[i]->fd = -1;
                pthread_mutex_unlock(&lock);
            }
        }
    }
}

void wake(uint64_t v)
{
    if (write(wake_fd, &v, sizeof v) < 0) std::perror("ERROR in the button service, eventfd");
}

}  // namespace

int attach(const char* who, int chip, int pin, int polarity, int line_fd, records format,
           int debounce_us)
{
    pthread_mutex_lock(&lock);
    button* slot = nullptr;
    for (button& b : table) {
        if (b.fd < 0) {
            slot = &b;
            break;
        }
    }
    int rc = 0;
    if (slot == nullptr) {
        std::fprintf(stderr, "ERROR in %s, at most %d buttons\n", who, HX_BUTTON_MAX);
        rc = -1;
    } else if (wake_fd < 0 && (wake_fd = eventfd(0, EFD_CLOEXEC)) < 0) {
        std::fprintf(stderr, "ERROR in %s, eventfd: %s\n", who, std::strerror(errno));
        rc = -1;
    } else if (watcher_running && watcher_failed.load()) {
        // The watcher gave up on an error: it has ended or is ending without the lock.
        pthread_join(watcher, nullptr);
        watcher_running = false;
        watcher_failed.store(false);
    }
    if (rc == 0 && !watcher_running) {
        stopping.store(false);
        const int err = pthread_create(&watcher, nullptr, watch, nullptr);
        if (err != 0) {
            std::fprintf(stderr, "ERROR in %s, can't start the watcher: %s\n", who, std::strerror(err));
            rc = -1;
        } else {
            watcher_running = true;
        }
    }
    if (rc == 0) {
        slot->chip = chip;
        slot->pin = pin;
        slot->polarity = polarity;
        slot->format = format;
        slot->debounce_ns = 1000LL * debounce_us;
        slot->level = polarity == HX_BUTTON_PRESSED_LOW ? 1 : 0;  // released
        slot->pending = false;
        slot->press.store(nullptr);
        slot->release.store(nullptr);
        slot->fd = line_fd;
    } else {
        close(line_fd);
    }
    pthread_mutex_unlock(&lock);
    if (rc == 0) wake(1);
    return rc;
}

bool attached(int chip, int pin)
{
    pthread_mutex_lock(&lock);
    const bool found = find(chip, pin) != nullptr;
    pthread_mutex_unlock(&lock);
    return found;
}

int set_callbacks(int chip, int pin, callback press, callback release)
{
    pthread_mutex_lock(&lock);
    button* b = find(chip, pin);
    if (b != nullptr) {
        b->press.store(press);
        b->release.store(release);
    }
    pthread_mutex_unlock(&lock);
    if (b == nullptr) {
        std::fprintf(stderr,
                     "ERROR in hx_button_set_callbacks, button %d,%d is not set up, call "
                     "hx_button_init first\n",
                     chip, pin);
        return -1;
    }
    return 0;
}

void detach_all()
{
    if (watcher_running) {
        stopping.store(true);
        wake(2);
        pthread_join(watcher, nullptr);
        watcher_running = false;
        watcher_failed.store(false);
    }
    pthread_mutex_lock(&lock);
    for (button& b : table) {
        if (b.fd >= 0) close(b.fd);
        b.fd = -1;
    }
    if (wake_fd >= 0) close(wake_fd);
    wake_fd = -1;
    pthread_mutex_unlock(&lock);
}

}  // namespace hx::button_events
