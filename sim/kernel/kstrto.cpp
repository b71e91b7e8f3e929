#include "kstrto.h"

#include <cerrno>
#include <cstring>

namespace kstrto {

namespace {

int digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// _kstrtoull with base 0.
int parse_unsigned(const char* s, uint64_t* out)
{
    unsigned base = 10;
    if (s[0] == '0') {
        if ((s[1] == 'x' || s[1] == 'X') && digit(s[2]) < 16) {
            base = 16;
            s += 2;
        } else {
            base = 8;
        }
    }
    uint64_t v = 0;
    bool overflow = false;
    const char* start = s;
    for (; digit(*s) < static_cast<int>(base); ++s) {
        const unsigned d = static_cast<unsigned>(digit(*s));
        if (v > (UINT64_MAX - d) / base) overflow = true;
        v = v * base + d;
    }
    if (s == start) return -EINVAL;
    if (overflow) return -ERANGE;
    if (*s == '\n') ++s;
    if (*s != '\0') return -EINVAL;
    *out = v;
    return 0;
}

}  // namespace

int u64(const std::string& text, uint64_t* out)
{
    const char* s = text.c_str();
    if (*s == '+') ++s;
    return parse_unsigned(s, out);
}

int s64(const std::string& text, int64_t* out)
{
    const char* s = text.c_str();
    uint64_t v = 0;
    if (*s == '-') {
        const int rc = parse_unsigned(s + 1, &v);
        if (rc != 0) return rc;
        if (v > uint64_t{1} << 63) return -ERANGE;
        *out = static_cast<int64_t>(0 - v);
        return 0;
    }
    const int rc = u64(text, &v);
    if (rc != 0) return rc;
    if (v > static_cast<uint64_t>(INT64_MAX)) return -ERANGE;
    *out = static_cast<int64_t>(v);
    return 0;
}

int u32(const std::string& s, uint32_t* out)
{
    uint64_t v = 0;
    const int rc = u64(s, &v);
    if (rc != 0) return rc;
    if (v > UINT32_MAX) return -ERANGE;
    *out = static_cast<uint32_t>(v);
    return 0;
}

int s32(const std::string& s, int32_t* out)
{
    int64_t v = 0;
    const int rc = s64(s, &v);
    if (rc != 0) return rc;
    if (v < INT32_MIN || v > INT32_MAX) return -ERANGE;
    *out = static_cast<int32_t>(v);
    return 0;
}

int u8(const std::string& s, uint8_t* out)
{
    uint64_t v = 0;
    const int rc = u64(s, &v);
    if (rc != 0) return rc;
    if (v > 255) return -ERANGE;
    *out = static_cast<uint8_t>(v);
    return 0;
}

int boolean(const std::string& s, bool* out)
{
    switch (s.empty() ? '\0' : s[0]) {
    case 'y': case 'Y': case 't': case 'T': case '1': *out = true; return 0;
    case 'n': case 'N': case 'f': case 'F': case '0': *out = false; return 0;
    case 'o': case 'O':
        if (s.size() > 1 && (s[1] == 'n' || s[1] == 'N')) { *out = true; return 0; }
        if (s.size() > 1 && (s[1] == 'f' || s[1] == 'F')) { *out = false; return 0; }
        return -EINVAL;
    default: return -EINVAL;
    }
}

bool streq(const std::string& a, const char* b)
{
    std::string x = a, y = b;
    if (!x.empty() && x.back() == '\n') x.pop_back();
    if (!y.empty() && y.back() == '\n') y.pop_back();
    return x == y;
}

}  // namespace kstrto
