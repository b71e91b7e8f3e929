// hx_simkernel: the simulated kernel. Serves the board of one kernel profile as a FUSE
// filesystem over /sys inside a private mount namespace (it refuses to run in the
// machine's own), with PRU cores that run the firmware images in DIR (the kernel's
// firmware_class.path; /lib/firmware by default).
//
//   hx_simkernel --profile NAME [--mount DIR] [--firmware-path DIR]
//   hx_simkernel --profiles          the kernel generations it models, one a line
//
// Every open file is direct I/O, and nothing is cached by the kernel, so that every
// read reaches the driver model and every write is answered by it, as sysfs does.
#define FUSE_USE_VERSION 31
#include "board.h"
#include "model.h"
#include "profiles.h"

#include <fuse.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using lock_guard = std::lock_guard<std::mutex>;
using simk::node;

void* on_init(fuse_conn_info*, fuse_config* cfg)
{
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->direct_io = 1;
    cfg->kernel_cache = 0;
    return nullptr;
}

int on_getattr(const char* path, struct stat* st, fuse_file_info*)
{
    lock_guard g(simk::model_lock());
    const node* n = simk::sysfs().find(path);
    if (n == nullptr) return -ENOENT;
    std::memset(st, 0, sizeof *st);
    st->st_uid = n->uid;
    st->st_gid = n->gid;
    switch (n->type) {
    case node::kind::dir:
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        break;
    case node::kind::link:
        st->st_mode = S_IFLNK | 0777;
        st->st_nlink = 1;
        st->st_size = static_cast<off_t>(n->target.size());
        break;
    case node::kind::file:
        st->st_mode = S_IFREG | (n->mode != 0 ? n->mode : (n->show ? 0444 : 0) | (n->store ? 0200 : 0));
        st->st_nlink = 1;
        st->st_size = 4096;  // what sysfs reports for every attribute
        break;
    }
    return 0;
}

int on_readlink(const char* path, char* buf, size_t size)
{
    lock_guard g(simk::model_lock());
    const node* n = simk::sysfs().find(path);
    if (n == nullptr) return -ENOENT;
    if (n->type != node::kind::link) return -EINVAL;
    std::snprintf(buf, size, "%s", n->target.c_str());
    return 0;
}

int on_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
               fuse_readdir_flags)
{
    lock_guard g(simk::model_lock());
    const node* n = simk::sysfs().find(path);
    if (n == nullptr) return -ENOENT;
    if (n->type != node::kind::dir) return -ENOTDIR;
    fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    for (const auto& [name, child] : n->children) fill(buf, name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

// kernfs refuses to open for reading an attribute without show, for writing one
// without store.
int on_open(const char* path, fuse_file_info* fi)
{
    lock_guard g(simk::model_lock());
    const node* n = simk::sysfs().find(path);
    if (n == nullptr) return -ENOENT;
    if (n->type == node::kind::dir) return -EISDIR;
    if (n->fail_open) return -n->fail_open;
    if (n->closed_until_us != 0) {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        if (static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000 < n->closed_until_us) return -EACCES;
    }
    const int mode = fi->flags & O_ACCMODE;
    if ((mode != O_WRONLY && !n->show) || (mode != O_RDONLY && !n->store)) return -EACCES;
    fi->direct_io = 1;
    return 0;
}

// An attribute removed while open answers as sysfs does for a device that went away.
int on_read(const char* path, char* buf, size_t size, off_t off, fuse_file_info*)
{
    lock_guard g(simk::model_lock());
    const node* n = simk::sysfs().find(path);
    if (n == nullptr || n->type != node::kind::file) return -ENODEV;
    if (n->fail_read) return -n->fail_read;
    std::string text;
    if (const int rc = n->show(text)) return rc;
    if (off >= static_cast<off_t>(text.size())) return 0;
    const size_t len = std::min(size, text.size() - static_cast<size_t>(off));
    std::memcpy(buf, text.data() + off, len);
    return static_cast<int>(len);
}

// kernfs hands the driver the bytes written, NUL-terminated: a NUL inside ends them.
int on_write(const char* path, const char* buf, size_t size, off_t, fuse_file_info*)
{
    lock_guard g(simk::model_lock());
    node* n = simk::sysfs().find(path);
    if (n == nullptr || n->type != node::kind::file) return -ENODEV;
    if (n->fail_write) return -n->fail_write;
    if (size > 4096) return -E2BIG;
    const std::string text(buf, strnlen(buf, size));
    if (n->write_delay_ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(n->write_delay_ms));
        n->write_delay_ms = 0;
    }
    if (const int rc = n->store(text)) return rc;
    return static_cast<int>(size);
}

// sysfs takes chmod and chown of an attribute (udev's rules do it); the kernel has
// checked who may (default_permissions).
int on_chmod(const char* path, mode_t mode, fuse_file_info*)
{
    lock_guard g(simk::model_lock());
    node* n = simk::sysfs().find(path);
    if (n == nullptr) return -ENOENT;
    if (n->type != node::kind::file) return -EPERM;
    n->mode = mode & 07777;
    return 0;
}

int on_chown(const char* path, uid_t uid, gid_t gid, fuse_file_info*)
{
    lock_guard g(simk::model_lock());
    node* n = simk::sysfs().find(path);
    if (n == nullptr) return -ENOENT;
    if (n->type != node::kind::file) return -EPERM;
    if (uid != static_cast<uid_t>(-1)) n->uid = uid;
    if (gid != static_cast<gid_t>(-1)) n->gid = gid;
    if (n->mode == 0) n->mode = (n->show ? 0444 : 0) | (n->store ? 0200 : 0);
    return 0;
}

// O_TRUNC on an attribute is accepted and means nothing, as on sysfs.
int on_truncate(const char* path, off_t, fuse_file_info*)
{
    lock_guard g(simk::model_lock());
    const node* n = simk::sysfs().find(path);
    if (n == nullptr) return -ENOENT;
    return n->type == node::kind::file ? 0 : -EISDIR;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--profiles") == 0) {
        for (const auto& p : simk::profiles())
            if (std::strcmp(p.name, "bare") != 0) std::printf("%s\n", p.name);
        return 0;
    }
    std::string profile, mount_point = "/sys";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--profile") == 0) profile = argv[i + 1];
        else if (std::strcmp(argv[i], "--mount") == 0) mount_point = argv[i + 1];
        else if (std::strcmp(argv[i], "--firmware-path") == 0) simk::firmware_path = argv[i + 1];
    }
    // Dies with the sandbox that started it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Never over the machine's own /sys: only in a mount namespace other than init's.
    // (Unprivileged, init's namespace cannot be looked at, nor /sys mounted over.)
    struct stat mine{}, init{};
    if (stat("/proc/self/ns/mnt", &mine) != 0 ||
        (stat("/proc/1/ns/mnt", &init) == 0 && mine.st_ino == init.st_ino && mine.st_dev == init.st_dev)) {
        std::fprintf(stderr, "hx_simkernel: not in a private mount namespace; refusing to mount\n");
        return 2;
    }
    if (!simk::build(profile)) {
        std::fprintf(stderr, "hx_simkernel: unknown profile \"%s\"\n", profile.c_str());
        return 2;
    }
    static const fuse_operations ops = [] {
        fuse_operations o{};
        o.init = on_init;
        o.getattr = on_getattr;
        o.readlink = on_readlink;
        o.readdir = on_readdir;
        o.open = on_open;
        o.read = on_read;
        o.write = on_write;
        o.truncate = on_truncate;
        o.chmod = on_chmod;
        o.chown = on_chown;
        return o;
    }();
    char prog[] = "hx_simkernel";
    char opt[] = "-o";
    // Other users reach it, and the kernel checks their permissions as sysfs's owners and
    // modes say.
    char fs[] = "fsname=hx-simkernel,subtype=sysfs,allow_other,default_permissions";
    char* fargs[] = {prog, opt, fs, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, fargs);
    fuse* f = fuse_new(&args, &ops, sizeof ops, nullptr);
    if (f == nullptr || fuse_mount(f, mount_point.c_str()) != 0) {
        std::fprintf(stderr, "hx_simkernel: can't mount on %s\n", mount_point.c_str());
        return 1;
    }
    fuse_set_signal_handlers(fuse_get_session(f));
    const int rc = fuse_loop(f);
    simk::shut_down();
    fuse_remove_signal_handlers(fuse_get_session(f));
    fuse_unmount(f);
    fuse_destroy(f);
    return rc == 0 ? 0 : 1;
}
