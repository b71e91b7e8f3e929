#include "sysfs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hx::sysfs {

namespace {

// A refusal names whose the attribute is: the group its udev rules give it to, or root.
int fail(const char* who, const char* verb, const char* path)
{
    const int e = errno;
    char whose[64] = "";
    if (e == EACCES || e == EPERM) owner(path, whose, sizeof whose);
    std::fprintf(stderr, "ERROR in %s, can't %s %s: %s%s%s%s\n", who, verb, path, std::strerror(e),
                 whose[0] != '\0' ? " (" : "", whose, whose[0] != '\0' ? ")" : "");
    errno = e;
    return -1;
}

// The index in devices[0..n) of the name text[0..len), or -1.
int which(const char* text, std::size_t len, const char* const* devices, int n)
{
    for (int i = 0; i < n; ++i)
        if (std::strlen(devices[i]) == len && std::memcmp(text, devices[i], len) == 0) return i;
    return -1;
}

// The device of the entry at path, by the three rules in turn; -1 if none matches.
int device_of(const char* path, const char* const* devices, int n)
{
    char at[176];
    char text[256];
    std::snprintf(at, sizeof at, "%s/name", path);
    const int f = open(at, O_RDONLY | O_CLOEXEC);
    if (f >= 0) {
        ssize_t len = read(f, text, sizeof text - 1);
        close(f);
        while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\0')) --len;
        if (len > 0) {
            const int i = which(text, static_cast<std::size_t>(len), devices, n);
            if (i >= 0) return i;
        }
    }
    std::snprintf(at, sizeof at, "%s/device", path);
    ssize_t len = readlink(at, text, sizeof text - 1);
    if (len > 0) {
        text[len] = '\0';
        const char* last = std::strrchr(text, '/');
        last = last != nullptr ? last + 1 : text;
        const int i = which(last, std::strlen(last), devices, n);
        if (i >= 0) return i;
    }
    len = readlink(path, text, sizeof text - 1);
    if (len <= 0) return -1;
    text[len] = '\0';
    for (const char* c = text; *c != '\0';) {
        const char* end = std::strchr(c, '/');
        const std::size_t clen = end != nullptr ? static_cast<std::size_t>(end - c) : std::strlen(c);
        const int i = which(c, clen, devices, n);
        if (i >= 0) return i;
        c += clen + (end != nullptr ? 1 : 0);
    }
    return -1;
}

}  // namespace

int find_device(const char* dir, const char* prefix, const char* const* devices, int n, char* path,
                std::size_t cap)
{
    DIR* d = opendir(dir);
    if (d == nullptr) return -1;
    int found = -1;
    const std::size_t plen = std::strlen(prefix);
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] == '.' || std::strncmp(e->d_name, prefix, plen) != 0) continue;
        char entry[160];
        std::snprintf(entry, sizeof entry, "%s/%.40s", dir, e->d_name);
        found = device_of(entry, devices, n);
        if (found >= 0) {
            std::snprintf(path, cap, "%s", entry);
            break;
        }
    }
    closedir(d);
    return found;
}

int report(const char* who, const char* verb, const char* path) { return fail(who, verb, path); }

void owner(const char* path, char* out, std::size_t cap)
{
    struct stat st{};
    if (stat(path, &st) != 0) {
        std::snprintf(out, cap, "%s", "");
        return;
    }
    group g{};
    group* found = nullptr;
    char names[1024];
    char number[16];
    std::snprintf(number, sizeof number, "%u", static_cast<unsigned>(st.st_gid));
    const char* name = getgrgid_r(st.st_gid, &g, names, sizeof names, &found) == 0 && found != nullptr ? g.gr_name : number;
    std::snprintf(out, cap, "group %s, mode %04o", name, static_cast<unsigned>(st.st_mode & 07777));
}

bool writable(const char* path, char* whose, std::size_t cap)
{
    if (access(path, W_OK) == 0 || (errno != EACCES && errno != EPERM)) return true;
    owner(path, whose, cap);
    return false;
}

void link_name(const char* path, char* out, std::size_t cap)
{
    char target[256];
    const ssize_t n = readlink(path, target, sizeof target - 1);
    target[n > 0 ? n : 0] = '\0';
    const char* last = std::strrchr(target, '/');
    std::snprintf(out, cap, "%s", last != nullptr ? last + 1 : target);
}

bool link_through(const char* path, const char* name)
{
    char target[256];
    const ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    const std::size_t len = std::strlen(name);
    for (const char* c = target; *c != '\0';) {
        const char* end = std::strchr(c, '/');
        const std::size_t clen = end != nullptr ? static_cast<std::size_t>(end - c) : std::strlen(c);
        if (clen == len && std::memcmp(c, name, len) == 0) return true;
        c += clen + (end != nullptr ? 1 : 0);
    }
    return false;
}

int write_quiet(const char* path, const char* text, bool* at_open)
{
    *at_open = false;
    const int f = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (f < 0) {
        *at_open = true;
        return errno;
    }
    const std::size_t len = std::strlen(text);
    // An attribute takes its value in one write; a short write is a failure.
    const ssize_t n = write(f, text, len);
    const int err = n == static_cast<ssize_t>(len) ? 0 : n >= 0 ? EIO : errno;
    close(f);
    return err;
}

int write_text(const char* who, const char* path, const char* text)
{
    bool at_open = false;
    const int err = write_quiet(path, text, &at_open);
    if (err == 0) return 0;
    errno = err;
    return fail(who, "write", path);
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
