// The simulated kernel's sysfs tree: directories, attributes answered by a driver
// model, and symbolic links. Paths are relative to the mount point and begin with '/'.
#ifndef HX_SIM_TREE_H
#define HX_SIM_TREE_H

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace simk {

// A driver's show: fill the text; 0 or -errno. A store: the written text up to its
// first NUL; 0 or -errno.
using show_fn = std::function<int(std::string&)>;
using store_fn = std::function<int(const std::string&)>;

struct node {
    enum class kind { dir, file, link } type = kind::dir;
    std::map<std::string, std::unique_ptr<node>> children;
    std::string target;  // of a link, relative as sysfs makes them
    show_fn show;        // empty: not readable (EACCES on open for reading)
    store_fn store;      // empty: not writable
    // Faults injected by a test: the errno an open, read or write then gives.
    int fail_open = 0, fail_read = 0, fail_write = 0;
    // Until this time (monotonic us) an open answers EACCES: a new attribute whose mode
    // udev has not set yet.
    long long closed_until_us = 0;
    // The next write takes this long to be answered (a slow driver); the server answers
    // nothing else meanwhile, as one busy driver lock would.
    int write_delay_ms = 0;
    // Owner and permission bits, as the kernel creates an attribute (root's; 0444 with a
    // show, 0200 with a store) until someone (udev's rules) changes them; mode 0: those.
    unsigned uid = 0, gid = 0, mode = 0;
};

class tree {
public:
    node* find(const std::string& path);
    // The path with every link followed (the last component's too, when follow_last),
    // as the kernel resolves a path through sysfs.
    std::string resolve(const std::string& path, bool follow_last);
    node& dir(const std::string& path);
    node& attr(const std::string& path, show_fn show, store_fn store = {});
    // A link at path to the absolute (mount-relative) target, stored relative.
    void link(const std::string& path, const std::string& target);
    bool remove(const std::string& path);
    // A device that goes away and comes back: the node leaves the tree and is kept.
    bool unplug(const std::string& path);
    bool replug(const std::string& path);

private:
    node root_;
    std::map<std::string, std::unique_ptr<node>> unplugged_;
};

}  // namespace simk

#endif
