// The kernel-independent half of the button service: a table of watched line
// descriptors and the watcher thread that turns their edge events into callbacks.
// Any descriptor that yields struct gpio_v2_line_event records will do, so tests
// drive it through a pipe.
#ifndef HX_SRC_BUTTON_EVENTS_H
#define HX_SRC_BUTTON_EVENTS_H

namespace hx::button_events {

using callback = void (*)(void);

// Take ownership of line_fd for button (chip, pin) and start watching it. The
// descriptor is closed on failure too. 0, or -1 after a message naming who.
int attach(const char* who, int chip, int pin, int polarity, int line_fd);

// True when (chip, pin) is watched.
bool attached(int chip, int pin);

int set_callbacks(int chip, int pin, callback press, callback release);

// Stop and join the watcher, close every descriptor, forget every button.
void detach_all();

}  // namespace hx::button_events

#endif
