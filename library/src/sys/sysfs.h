// Reading and writing sysfs attributes, shared by the PRU and servo services.
#ifndef HX_SRC_SYSFS_H
#define HX_SRC_SYSFS_H

#include <cstddef>

namespace hx::sysfs {

// Write text to the attribute at path. O_TRUNC lets the same call serve a plain file
// (where a shorter text must not leave the tail of an older one) and sysfs (which
// ignores it). On failure prints "ERROR in <who>, can't write <path>: <reason>" and
// returns -1.
int write_text(const char* who, const char* path, const char* text);

// Read the attribute at path into buf (NUL-terminated, trailing newline removed).
// On failure prints "ERROR in <who>, can't read <path>: <reason>" and returns -1.
int read_text(const char* who, const char* path, char* buf, std::size_t cap);

}  // namespace hx::sysfs

#endif
