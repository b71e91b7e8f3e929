// Running the real programs as a person at a terminal would: standard input and output
// on a pseudo-terminal, standard error apart, and optionally on the fake board.
#ifndef HX_SIM_PROGRAM_H
#define HX_SIM_PROGRAM_H

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace program {

struct options {
    std::vector<std::string> args;
    bool fake_board = true;       // load the recording fake board in place of the services
    std::string script;           // the fake board's script text
    bool stdin_closed = false;    // standard input at end of file from the start
    bool terminal_signals = false;  // typing Ctrl-C (\x03) interrupts, as at a shell
    std::vector<std::string> wrapper;  // run the program under this command (e.g. valgrind)
};

struct session {
    pid_t pid = -1;
    int terminal = -1;  // master side: what we type, what the program prints
    int err = -1;
    std::string out;    // standard output so far
    std::string errors; // standard error so far
    std::string log_path;
};

// Start examples/NAME (or the program at NAME, an absolute path) with opts; returns the
// running session.
session start(const std::string& name, const options& opts);
// Type text at the terminal.
void type(session& s, const std::string& text);
// Wait until standard output contains needle (true) or the time runs out (false).
bool wait_for_output(session& s, const std::string& needle, std::chrono::milliseconds limit);
// Wait for the end of the program and collect what is left of its output. Returns the
// exit status, 128 + signal when killed by one, or -1 when it was still running after
// limit (it is then killed).
int finish(session& s, std::chrono::milliseconds limit = std::chrono::seconds(10));
// Start, close input, finish: for programs that ask nothing.
int run(const std::string& name, const options& opts, session* out,
        std::chrono::milliseconds limit = std::chrono::seconds(10));

// One recorded call of the fake board.
struct call {
    long long t_us;
    std::string name;
    std::string args;  // the rest of the line
};
std::vector<call> calls(const session& s);
// The calls' names and arguments alone, one "name args" string each.
std::vector<std::string> call_lines(const session& s);

}  // namespace program

#endif
