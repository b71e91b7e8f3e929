#include "tree.h"

#include <algorithm>
#include <vector>

namespace simk {

namespace {

std::vector<std::string> split(const std::string& path)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == '/') ++i;
        const size_t j = path.find('/', i);
        const std::string part = path.substr(i, j == std::string::npos ? std::string::npos : j - i);
        if (!part.empty()) out.push_back(part);
        if (j == std::string::npos) break;
        i = j;
    }
    return out;
}

}  // namespace

node* tree::find(const std::string& path)
{
    node* n = &root_;
    for (const std::string& part : split(path)) {
        if (n->type != node::kind::dir) return nullptr;
        const auto it = n->children.find(part);
        if (it == n->children.end()) return nullptr;
        n = it->second.get();
    }
    return n;
}

std::string tree::resolve(const std::string& path, bool follow_last)
{
    std::vector<std::string> done;
    std::vector<std::string> todo = split(path);
    std::reverse(todo.begin(), todo.end());
    for (int hops = 0; !todo.empty() && hops < 64;) {
        const std::string part = todo.back();
        todo.pop_back();
        if (part == "..") {
            if (!done.empty()) done.pop_back();
            continue;
        }
        done.push_back(part);
        std::string here;
        for (const auto& d : done) here += "/" + d;
        const node* n = find(here);
        if (n == nullptr || n->type != node::kind::link || (todo.empty() && !follow_last)) continue;
        ++hops;
        done.pop_back();
        auto target = split(n->target);
        for (auto it = target.rbegin(); it != target.rend(); ++it) todo.push_back(*it);
    }
    std::string out;
    for (const auto& d : done) out += "/" + d;
    return out.empty() ? "/" : out;
}

node& tree::dir(const std::string& path)
{
    node* n = &root_;
    for (const std::string& part : split(path)) {
        auto& child = n->children[part];
        if (!child) child = std::make_unique<node>();
        n = child.get();
    }
    return *n;
}

node& tree::attr(const std::string& path, show_fn show, store_fn store)
{
    const size_t slash = path.rfind('/');
    node& parent = dir(path.substr(0, slash));
    auto& child = parent.children[path.substr(slash + 1)];
    child = std::make_unique<node>();
    child->type = node::kind::file;
    child->show = std::move(show);
    child->store = std::move(store);
    return *child;
}

void tree::link(const std::string& path, const std::string& target)
{
    const auto from = split(path.substr(0, path.rfind('/')));
    const auto to = split(target);
    // As sysfs does, even a link to an ancestor names it: up past it and down again.
    size_t common = 0;
    while (common < from.size() && common + 1 < to.size() && from[common] == to[common]) ++common;
    std::string rel;
    for (size_t i = common; i < from.size(); ++i) rel += "../";
    for (size_t i = common; i < to.size(); ++i) rel += to[i] + (i + 1 < to.size() ? "/" : "");
    const size_t slash = path.rfind('/');
    auto& child = dir(path.substr(0, slash)).children[path.substr(slash + 1)];
    child = std::make_unique<node>();
    child->type = node::kind::link;
    child->target = rel;
}

bool tree::remove(const std::string& path)
{
    const size_t slash = path.rfind('/');
    node* parent = find(path.substr(0, slash));
    if (parent == nullptr || parent->type != node::kind::dir) return false;
    return parent->children.erase(path.substr(slash + 1)) == 1;
}

bool tree::unplug(const std::string& path)
{
    const size_t slash = path.rfind('/');
    node* parent = find(path.substr(0, slash));
    if (parent == nullptr || parent->type != node::kind::dir) return false;
    const auto it = parent->children.find(path.substr(slash + 1));
    if (it == parent->children.end()) return false;
    unplugged_[path] = std::move(it->second);
    parent->children.erase(it);
    return true;
}

bool tree::replug(const std::string& path)
{
    const auto it = unplugged_.find(path);
    if (it == unplugged_.end()) return false;
    const size_t slash = path.rfind('/');
    dir(path.substr(0, slash)).children[path.substr(slash + 1)] = std::move(it->second);
    unplugged_.erase(it);
    return true;
}

}  // namespace simk
