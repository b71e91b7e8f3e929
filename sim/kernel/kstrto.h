// How the kernel parses the text written to a sysfs attribute (lib/kstrtox.c and
// sysfs_streq). The text is what kernfs hands the driver: the written bytes up to the
// first NUL. Each function returns 0 or a negative errno, as the kernel's do.
#ifndef HX_SIM_KSTRTO_H
#define HX_SIM_KSTRTO_H

#include <cstdint>
#include <string>

namespace kstrto {

// Digits in base 0 (0x.. hex, 0.. octal, else decimal), an optional '+', then at most
// one '\n' and the end. -EINVAL for anything else, -ERANGE on overflow.
int u64(const std::string& s, uint64_t* out);
int s64(const std::string& s, int64_t* out);  // also an optional '-'
int u32(const std::string& s, uint32_t* out);
int s32(const std::string& s, int32_t* out);
int u8(const std::string& s, uint8_t* out);
// y/Y/t/T/1 and n/N/f/F/0 by the first byte, on/off by the first two.
int boolean(const std::string& s, bool* out);

// Equal but for one trailing newline on either side.
bool streq(const std::string& a, const char* b);

}  // namespace kstrto

#endif
