#include "sysfs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace hx::sysfs {

namespace {

int fail(const char* who, const char* verb, const char* path)
{
    std::fprintf(stderr, "ERROR in %s, can't %s %s: %s\n", who, verb, path, std::strerror(errno));
    return -1;
}

}  // namespace

int write_text(const char* who, const char* path, const char* text)
{
    const int f = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (f < 0) return fail(who, "write", path);
    const std::size_t len = std::strlen(text);
    // An attribute takes its value in one write; a short write is a failure.
    const ssize_t n = write(f, text, len);
    if (n != static_cast<ssize_t>(len)) {
        if (n >= 0) errno = EIO;
        const int saved = errno;
        close(f);
        errno = saved;
        return fail(who, "write", path);
    }
    close(f);
    return 0;
}

int read_text(const char* who, const char* path, char* buf, std::size_t cap)
{
    const int f = open(path, O_RDONLY | O_CLOEXEC);
    if (f < 0) return fail(who, "read", path);
    const ssize_t n = read(f, buf, cap - 1);
    if (n < 0) {
        const int saved = errno;
        close(f);
        errno = saved;
        return fail(who, "read", path);
    }
    close(f);
    std::size_t len = static_cast<std::size_t>(n);
    while (len > 0 && (buf[len - 1] == '\n' || buf[len - 1] == '\0')) --len;
    buf[len] = '\0';
    return static_cast<int>(len);
}

}  // namespace hx::sysfs
