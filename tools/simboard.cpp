// The simulated board: in a private mount namespace, the simulated kernel of a kernel
// generation serves /sys (eQEP or counter devices, remoteproc), /dev/mem holds the PRU
// memories with the PRU core model running the encoder and servo firmware behind them,
// and /dev/ttyS0, 1, 2 and 5 are loopbacks. Then it either tours the library and the four programs or runs
// the command given after "--" inside it.
//
//   simboard [--kernel PROFILE]            the tour
//   simboard [--kernel PROFILE] -- CMD...  run CMD on the simulated board (e.g. a shell)
//
// PROFILE is vendor-4.19, vendor-6.1 or mainline-6.12 (the default).
#include <sim/firmware.h>
#include <sim/program.h>
#include <sim/sandbox.h>

#include <hx/fwquad.h>
#include <hx/hwquad.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

void banner(const char* text)
{
    std::printf("\n==== %s ====\n", text);
    std::fflush(stdout);
}

void build_board(const std::string& profile)
{
    sandbox::boot(profile);
    for (int bus : {0, 1, 2, 5}) sandbox::add_serial(bus, true);
}

// The command after "--", with this terminal, inside the simulated board.
int run_command(char** argv)
{
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[0], argv);
        std::perror(argv[0]);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// What a program printed since it was last shown.
void show(const program::session& s, size_t& shown)
{
    std::fwrite(s.out.data() + shown, 1, s.out.size() - shown, stdout);
    std::fflush(stdout);
    shown = s.out.size();
}

// A program of the board run on a terminal, with nothing to type: its exit status, and
// what it printed into out (or onto ours).
int run_quietly(const std::string& name, std::vector<std::string> args, std::string* out = nullptr)
{
    program::options o;
    o.fake_board = false;
    o.args = std::move(args);
    program::session s;
    const int status = program::run(name, o, &s);
    if (out != nullptr) *out = s.out;
    else std::fwrite(s.out.data(), 1, s.out.size(), stdout);
    return status;
}

void encoder_tour()
{
    banner("encoder channels 1-3: the eQEP units");
    std::printf("hx_hwquad_init() = %d\n", hx_hwquad_init());
    // The wheels turn at their own rates (counts per second); wheel 3 backwards.
    sandbox::steer("wheel 48300180 400");
    sandbox::steer("wheel 48302180 1500");
    sandbox::steer("wheel 48304180 -250");
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(200ms);
        std::printf("read 1, 2, 3 = %d, %d, %d\n", hx_hwquad_read(1), hx_hwquad_read(2), hx_hwquad_read(3));
    }
    sandbox::steer("wheel 48300180 0");
    const int wrote = hx_hwquad_write(1, 4096);
    std::printf("wheel 1 stopped; hx_hwquad_write(1, 4096) = %d, read = %d\n", wrote, hx_hwquad_read(1));
    std::printf("hx_hwquad_read(4) (belongs to the PRU) prints:\n");
    std::fflush(stdout);
    hx_hwquad_read(4);
    hx_hwquad_cleanup();

    banner("encoder channel 4: the shipped firmware on PRU core 0 (the PRU core model runs its image)");
    if (!firmware::built()) {
        std::printf("skipped: %s\n", firmware::not_built());
        return;
    }
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = hx_fwquad_init();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    std::printf("hx_fwquad_init() = %d after %lld ms (firmware handshake); PRU core 0 %s, firmware %s\n", rc,
                static_cast<long long>(ms.count()), firmware::state(0).c_str(), firmware::report("firmware").c_str());
    firmware::turn(5000);  // channel 4's wheel: 5000 edges a second, forwards
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(200ms);
        std::printf("hx_fwquad_read() = %d\n", hx_fwquad_read());
    }
    firmware::turn(0);
    const int written = hx_fwquad_write(-5000);
    std::printf("wheel stopped; hx_fwquad_write(-5000) = %d, read = %d\n", written, hx_fwquad_read());
    firmware::walk("++++++++++");
    firmware::settle();
    std::printf("ten edges forwards: read = %d\n", hx_fwquad_read());
    std::printf("the firmware ran %s PRU instructions in %s cycles of its own time (%s waiting cycles skipped)\n",
                firmware::report("executed").c_str(), firmware::report("cycle").c_str(),
                firmware::report("skipped").c_str());
    hx_fwquad_cleanup();
    std::printf("after hx_fwquad_cleanup: count word %u, PRU core 0 %s\n", sandbox::pru_shared_ram()[16],
                firmware::state(0).c_str());
}

// What PRU core 1's R30 did on each servo channel: its pulses by width, in the order
// sent, and the spacing of their rising edges.
void servo_summary()
{
    const auto record = firmware::r30();
    for (int ch = 1; ch <= 8; ++ch) {
        const auto p = firmware::pulses(record, ch);
        std::vector<std::pair<uint64_t, int>> runs;  // width in cycles, how many
        for (const auto& x : p) {
            if (runs.empty() || runs.back().first != x.width()) runs.emplace_back(x.width(), 0);
            ++runs.back().second;
        }
        std::printf("servo %d (PRU1 R30 bit %d):", ch, firmware::servo_bit[ch]);
        for (const auto& [w, n] : runs)
            std::printf(" %d x %llu us (%llu cycles)", n, static_cast<unsigned long long>(w / 200),
                        static_cast<unsigned long long>(w));
        if (p.size() > 1)
            std::printf(", a pulse every %.1f ms", static_cast<double>(p.back().rise - p.front().rise) /
                                                       static_cast<double>(p.size() - 1) / 200000.0);
        std::printf("\n");
    }
}

// How many pulses of us microseconds servo 1 has had.
int pulses_of(uint64_t us)
{
    int n = 0;
    for (const auto& p : firmware::pulses(firmware::r30(), 1)) n += p.fall != 0 && p.width() == us * 200;
    return n;
}

// A person at the calibration: reads each prompt, waits for the ESCs (here: the pulses
// the PWM model records), presses Enter.
int calibrate()
{
    program::options o;
    o.fake_board = false;
    program::session s = program::start("hx_throttle_cal", o);
    size_t shown = 0;
    const std::pair<const char*, uint64_t> steps[] = {
        {"press enter to start sending max pulse width\n", 0},
        {"Press enter again after the ESCs finish chirping\n", 2000},
        {"Press enter again after the ESCs chirp to finish calibration\n", 1000},
    };
    for (const auto& [prompt, width] : steps) {
        if (!program::wait_for_output(s, prompt, 10s)) break;
        show(s, shown);
        for (int waited = 0; width != 0 && pulses_of(width) < 10 && waited < 10000; waited += 10)
            std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(300ms);
        std::printf("   [presses Enter]\n");
        program::type(s, "\n");
    }
    const int status = program::finish(s);
    show(s, shown);
    return status;
}

void program_tour()
{
    banner("hx_serial_echo 1: RX wired to TX on the simulated /dev/ttyS1");
    std::printf("exit status %d\n", run_quietly("hx_serial_echo", {"1"}));
    std::printf("and on the other buses, each a loopback too:\n");
    for (const char* bus : {"0", "2", "5"}) {
        std::string out;
        const int status = run_quietly("hx_serial_echo", {bus}, &out);
        int received = 0;
        for (size_t at = 0; (at = out.find("Received 11 bytes: Hello World", at)) != std::string::npos; ++at)
            ++received;
        std::printf("hx_serial_echo %s: exit status %d, \"Received 11 bytes: Hello World\" %d times\n", bus,
                    status, received);
    }
    banner("serial_probe 1");
    std::printf("exit status %d\n", run_quietly("serial_probe", {"1"}));
    banner("hx_throttle_cal: the servo firmware on PRU core 1; Enter pressed as the ESCs would want");
    std::printf("exit status %d\n", calibrate());
    std::printf("what the servo header carried (PRU1's R30, to the cycle):\n");
    servo_summary();

    banner("hx_press_monitor, on the fake board (a PC has no GPIO chip)");
    std::printf("(presses pause and mode, then Ctrl-C)\n");
    program::options o;
    o.script = "button 200 2 5 press\nbutton 350 2 5 release\nbutton 500 2 4 press\nbutton 650 2 4 release\n";
    program::session s = program::start("hx_press_monitor", o);
    program::wait_for_output(s, "Mode Released\n", 10s);
    kill(s.pid, SIGINT);
    const int status = program::finish(s);
    std::fwrite(s.out.data(), 1, s.out.size(), stdout);
    std::printf("exit status %d\n", status);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string why;
    if (!sandbox::enter(&why)) {
        std::fprintf(stderr, "simboard: can't build the simulated board here (%s); run as root\n", why.c_str());
        return 1;
    }
    std::string profile = "mainline-6.12";
    int arg = 1;
    if (arg + 1 < argc && std::strcmp(argv[arg], "--kernel") == 0) {
        profile = argv[arg + 1];
        arg += 2;
    }
    bool known = profile == "bare";  // a kernel without any of the board's devices
    for (const std::string& p : sandbox::profiles()) known = known || p == profile;
    if (!known) {
        std::fprintf(stderr, "simboard: unknown kernel profile \"%s\"; one of: bare", profile.c_str());
        for (const std::string& p : sandbox::profiles()) std::fprintf(stderr, " %s", p.c_str());
        std::fprintf(stderr, "\n");
        return 2;
    }
    build_board(profile);
    if (arg + 1 < argc && std::strcmp(argv[arg], "--") == 0) {
        return run_command(argv + arg + 1);
    }
    std::printf("halvex on a simulated board, kernel profile %s:\n"
                "/sys is a simulated kernel and /dev is built in a private mount namespace;\n"
                "the library and programs run their real code.\n", profile.c_str());
    encoder_tour();
    program_tour();
    return 0;
}
