// Reading and writing sysfs attributes, and finding a device by its register address:
// shared by every service (and by the simulated board's tests, which follow the same
// rule).
#ifndef HX_SRC_SYSFS_H
#define HX_SRC_SYSFS_H

#include <cstddef>

namespace hx::sysfs {

// Write text to the attribute at path. O_TRUNC lets the same call serve a plain file
// (where a shorter text must not leave the tail of an older one) and sysfs (which
// ignores it). On failure prints "ERROR in <who>, can't write <path>: <reason>" and
// returns -1.
int write_text(const char* who, const char* path, const char* text);

// The same without a message: 0, or the errno of the open (*at_open set) or the write.
int write_quiet(const char* path, const char* text, bool* at_open);

// Read the attribute at path into buf (NUL-terminated, trailing newline removed).
// On failure prints "ERROR in <who>, can't read <path>: <reason>" and returns -1.
int read_text(const char* who, const char* path, char* buf, std::size_t cap);

// Index numbers in sysfs (pwmchipN, remoteprocN, counterN, gpiochipN) follow probe
// order and differ between kernels; a device's own name (its register address and
// kind, e.g. "48300200.pwm") does not. The entry of dir (a class or bus directory, e.g.
// "/sys/class/pwm") whose name begins with prefix ("pwmchip") and whose device is one
// of devices[0..n) is found by, in turn: its `name` attribute (remoteproc since 5.4,
// counter), the last component of its `device` link (class devices), or a component
// of its own link (bus devices: .../48300180.counter/counter0). Components are compared
// whole: a parent such as 48300000.epwmss never matches a part of a name.
// Writes "dir/entry" into path and returns the index of the device found, or -1.
int find_device(const char* dir, const char* prefix, const char* const* devices, int n, char* path,
                std::size_t cap);

// Whose the node at path is, for a person: "group dialout, mode 0660". "" if there is no
// such node.
void owner(const char* path, char* out, std::size_t cap);

// "ERROR in <who>, can't <verb> <path>: <reason>", and when the reason is a refusal,
// whose the file is ("(group halvex, mode 0660)"): the group a user would need. Keeps
// errno; returns -1.
int report(const char* who, const char* verb, const char* path);

// Whether this user may write the attribute at path (its mode and owner as the kernel,
// or the udev rules, left them); when not, whose it is into whose, as owner() says.
bool writable(const char* path, char* whose, std::size_t cap);

// The last component of the link at path into out ("" when there is no such link).
void link_name(const char* path, char* out, std::size_t cap);

// Whether the link at path leads through a component named name (compared whole).
bool link_through(const char* path, const char* name);

}  // namespace hx::sysfs

#endif
