// The kernel-independent half of the button service: a table of watched line
// descriptors and the watcher thread that turns their edge events into callbacks.
// Any descriptor that yields GPIO event records will do, so tests drive it through a
// pipe.
#ifndef HX_SRC_BUTTON_EVENTS_H
#define HX_SRC_BUTTON_EVENTS_H

namespace hx::button_events {

using callback = void (*)(void);

// What the line descriptor yields: uAPI v2 records (struct gpio_v2_line_event) or v1
// records (struct gpioevent_data).
enum class records { v2, v1 };

// Take ownership of line_fd for button (chip, pin) and start watching it. With
// debounce_us > 0 the service debounces itself: an edge counts only once the line has
// stayed at its new level that long (kernels that cannot debounce). The descriptor is
// closed on failure too. 0, or -1 after a message naming who.
int attach(const char* who, int chip, int pin, int polarity, int line_fd, records format,
           int debounce_us);

// True when (chip, pin) is watched.
bool attached(int chip, int pin);

int set_callbacks(int chip, int pin, callback press, callback release);

// Stop and join the watcher, close every descriptor, forget every button.
void detach_all();

}  // namespace hx::button_events

#endif
