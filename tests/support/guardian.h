// The servo service's guardian as a test sees it: finding the process, and the bound
// within which it must have stopped every output.
#ifndef HX_TEST_GUARDIAN_H
#define HX_TEST_GUARDIAN_H

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <signal.h>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

// The guardian stops every output within 100 ms of the program's end: a product
// guarantee, proven where the code runs at its real speed (the PC build). The tests
// time it from the end as they see it (the program's exit status collected): a killed
// program still needs a CPU to finish dying, which no library can hurry; timed from
// the signal instead, the stop went past 100 ms (107 and 114 ms) on a loaded machine. Under a
// sanitizer (ASan about 2x slower, TSan 5 to 15x, by their documentation) or under
// qemu-arm's translation (the board build's tests), the program, the guardian and the
// simulated kernel's answers are slower by a factor the machine's load multiplies: there
// the tests prove that the stop happens, within ten times the bound.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(__arm__)
constexpr long long guardian_stop_bound_us = 1'000'000;
#else
constexpr long long guardian_stop_bound_us = 100'000;
#endif

namespace guardian {

// The name the guardian gives itself (its comm), which the PWM model records as the
// writer of its changes.
constexpr const char* name = "hx-servo-guard";

// A /proc file's text, "" when the process has gone (even in the middle of the read:
// no stream, which would throw).
inline std::string proc_text(pid_t pid, const char* what)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/" + what;
    const int f = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (f < 0) return "";
    char buf[1024];
    const ssize_t n = read(f, buf, sizeof buf);
    close(f);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// Fields of /proc/PID/stat after the command: state is [0], session [3].
inline std::vector<std::string> stat_fields(pid_t pid)
{
    const std::string all = proc_text(pid, "stat");
    std::vector<std::string> out;
    const auto close = all.rfind(')');
    if (close == std::string::npos) return out;
    std::string field;
    for (size_t i = close + 2; i <= all.size(); ++i) {
        if (i == all.size() || all[i] == ' ') {
            out.push_back(field);
            field.clear();
        } else {
            field += all[i];
        }
    }
    return out;
}

inline std::string comm(pid_t pid)
{
    const std::string s = proc_text(pid, "comm");
    return s.substr(0, s.find('\n'));
}

inline std::vector<pid_t> all_processes()
{
    std::vector<pid_t> out;
    if (DIR* d = opendir("/proc")) {
        while (dirent* e = readdir(d)) {
            const pid_t p = static_cast<pid_t>(std::atoi(e->d_name));
            if (p > 0) out.push_back(p);
        }
        closedir(d);
    }
    return out;
}

// The live processes of a session (a program the runner started leads its own).
inline std::vector<pid_t> of_session(pid_t sid)
{
    std::vector<pid_t> out;
    for (pid_t p : all_processes()) {
        const auto f = stat_fields(p);
        if (f.size() > 3 && f[0] != "Z" && std::atoi(f[3].c_str()) == sid) out.push_back(p);
    }
    return out;
}

// A program's guardian: the hx-servo-guard process of its session; -1 if none. The
// guardian takes its name a moment after it is forked: looked for up to 5 s (a limit,
// not a measurement).
inline pid_t of_program(pid_t sid)
{
    for (int waited = 0; waited < 5000; waited += 5) {
        for (pid_t p : of_session(sid))
            if (comm(p) == name) return p;
        usleep(5000);
    }
    return -1;
}

// What the descriptor links of a process point at, by number.
inline std::vector<std::pair<int, std::string>> descriptors(pid_t pid)
{
    std::vector<std::pair<int, std::string>> out;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            char target[256] = {};
            const ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
            out.emplace_back(std::atoi(e->d_name), n > 0 ? std::string(target, static_cast<size_t>(n)) : "");
        }
        closedir(d);
    }
    return out;
}

// This process's own guardian: the hx-servo-guard whose pipes (its descriptors 3 and 4)
// are ours too (looked for up to 5 s, as above). Standard input, output and error are
// left out: ctest may hand one pipe to many tests.
inline pid_t of_this_process()
{
    std::set<std::string> pipes;
    for (const auto& [fd, target] : descriptors(getpid()))
        if (fd > 2 && target.rfind("pipe:", 0) == 0) pipes.insert(target);
    for (int waited = 0; waited < 5000; waited += 5) {
        for (pid_t p : all_processes()) {
            if (comm(p) != name) continue;
            for (const auto& [fd, target] : descriptors(p))
                if ((fd == 3 || fd == 4) && pipes.count(target) != 0) return p;
        }
        usleep(5000);
    }
    return -1;
}

// Whether a process has ended: gone, or a zombie its new parent has not reaped yet with
// no thread left (under qemu-user a process has threads of qemu's own: its first thread
// shows Z while the others still hold its files open).
inline bool ended(pid_t pid)
{
    const auto f = stat_fields(pid);
    if (f.empty()) return true;
    if (f[0] != "Z") return false;
    int threads = 0;
    if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
        while (dirent* e = readdir(d)) threads += e->d_name[0] != '.';
        closedir(d);
    }
    return threads <= 1;
}

}  // namespace guardian

#endif
