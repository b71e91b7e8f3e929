#include "sim/program.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace program {

namespace {

int counter = 0;

// Scripts and call logs live in one scratch directory, removed when the test ends.
std::string scratch_dir;

void remove_scratch() { std::filesystem::remove_all(scratch_dir); }

std::string temp_path(const char* what)
{
    if (scratch_dir.empty()) {
        char templ[] = "/tmp/hx-programs-XXXXXX";
        if (mkdtemp(templ) == nullptr) std::abort();
        scratch_dir = templ;
        std::atexit(remove_scratch);
    }
    return scratch_dir + "/" + std::to_string(++counter) + "-" + what;
}

// Drain whatever is ready on the terminal and the error pipe, waiting at most ms.
void pump(session& s, int ms)
{
    pollfd p[2] = {{s.terminal, POLLIN, 0}, {s.err, POLLIN, 0}};
    if (poll(p, 2, ms) <= 0) return;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
        const ssize_t n = read(p[i].fd, buf, sizeof buf);
        if (n > 0) (i == 0 ? s.out : s.errors).append(buf, static_cast<size_t>(n));
    }
}

}  // namespace

session start(const std::string& name, const options& opts)
{
    session s;
    s.log_path = temp_path("calls.log");
    const std::string script_path = temp_path("script");
    {
        std::ofstream(script_path) << opts.script;
        std::ofstream(s.log_path).flush();
    }
    s.terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    grantpt(s.terminal);
    unlockpt(s.terminal);
    const std::string slave_name = ptsname(s.terminal);
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) std::abort();

    std::vector<std::string> argv_s;
#ifdef HX_PROGRAM_EMULATOR
    // Programs built for the board run under user-mode emulation.
    std::istringstream emulator(HX_PROGRAM_EMULATOR);
    for (std::string word; emulator >> word;) argv_s.push_back(word);
#endif
    argv_s.insert(argv_s.end(), opts.wrapper.begin(), opts.wrapper.end());
    argv_s.push_back(name[0] == '/' ? name : std::string(HX_PROGRAM_DIR) + "/" + name);
    argv_s.insert(argv_s.end(), opts.args.begin(), opts.args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);

    s.pid = fork();
    if (s.pid == 0) {
        setsid();
        const int slave = open(slave_name.c_str(), O_RDWR);
        ioctl(slave, TIOCSCTTY, 0);
        // What a person sees, without the terminal's echo and CR/LF translation;
        // input stays line by line, as at a shell.
        termios t{};
        tcgetattr(slave, &t);
        t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO | (opts.terminal_signals ? 0 : ISIG));
        tcsetattr(slave, TCSANOW, &t);
        dup2(slave, 1);
        if (opts.stdin_closed) {
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
        } else {
            dup2(slave, 0);
        }
        dup2(err[1], 2);
        if (opts.fake_board) {
            setenv("LD_LIBRARY_PATH", HX_FAKE_BOARD_DIR, 1);
            setenv("HX_FAKE_LOG", s.log_path.c_str(), 1);
            setenv("HX_FAKE_SCRIPT", script_path.c_str(), 1);
        }
        execvp(argv[0], argv.data());
        std::perror("execv");
        _exit(127);
    }
    close(err[1]);
    s.err = err[0];
    return s;
}

void type(session& s, const std::string& text)
{
    if (write(s.terminal, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
}

bool wait_for_output(session& s, const std::string& needle, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (s.out.find(needle) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= end) return false;
        pump(s, 10);
    }
    return true;
}

int finish(session& s, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(s.pid, &status, WNOHANG);
        if (r == s.pid) break;
        if (std::chrono::steady_clock::now() >= end) {
            kill(s.pid, SIGKILL);
            waitpid(s.pid, &status, 0);
            status = -1;
            break;
        }
        pump(s, 5);
    }
    // The master reads EIO once the last holder of the terminal is gone.
    for (int i = 0; i < 50; ++i) {
        const size_t before = s.out.size() + s.errors.size();
        pump(s, 2);
        if (s.out.size() + s.errors.size() == before) break;
    }
    close(s.terminal);
    close(s.err);
    if (status == -1) return -1;
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

int run(const std::string& name, const options& opts, session* out, std::chrono::milliseconds limit)
{
    options o = opts;
    o.stdin_closed = true;
    *out = start(name, o);
    return finish(*out, limit);
}

std::vector<call> calls(const session& s)
{
    std::vector<call> out;
    std::ifstream in(s.log_path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream l(line);
        call c;
        l >> c.t_us >> c.name;
        std::getline(l, c.args);
        if (!c.args.empty()) c.args.erase(0, 1);
        out.push_back(c);
    }
    return out;
}

std::vector<std::string> call_lines(const session& s)
{
    std::vector<std::string> out;
    for (const call& c : calls(s)) out.push_back(c.args.empty() ? c.name : c.name + " " + c.args);
    return out;
}

}  // namespace program
