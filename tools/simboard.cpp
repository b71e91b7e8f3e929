// The simulated board: builds, in a private mount namespace, the kernel files that the
// board offers (eQEP attributes, remoteproc, /dev/mem, PWM, a serial loopback on
// /dev/ttyS1), runs the encoder firmware emulator, and then either tours the library
// and the four programs or runs the command given after "--" inside it.
//
//   simboard            the tour
//   simboard -- CMD...  run CMD on the simulated board (e.g. a shell)
#include "support/board_sandbox.h"
#include "support/encoder_firmware.h"

#include <hx/fwquad.h>
#include <hx/hwquad.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
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

void build_board()
{
    sandbox::add_eqep();
    sandbox::add_remoteproc();
    sandbox::add_dev_mem();
    sandbox::add_pwm();
    sandbox::add_serial(1, true);
}

// Runs a program of the board with its output on ours; the person, when given, acts on
// it through the write end of its standard input and its process id. Returns the exit
// status.
int run(std::vector<std::string> argv, void (*person)(int, pid_t) = nullptr,
        const std::vector<std::string>& env = {})
{
    std::fflush(stdout);
    int in[2];
    if (pipe(in) != 0) return -1;
    // Standard output goes through a terminal, so that the program prints line by line
    // as it would on the board's console, in step with what the person does.
    const int term = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (term < 0 || grantpt(term) != 0 || unlockpt(term) != 0) return -1;
    const std::string slave = ptsname(term);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(slave.c_str(), O_WRONLY);
        termios t{};
        tcgetattr(out, &t);
        t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        tcsetattr(out, TCSANOW, &t);
        dup2(out, 1);
        dup2(in[0], 0);
        close(in[0]);
        close(in[1]);
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> a;
        for (std::string& s : argv) a.push_back(s.data());
        a.push_back(nullptr);
        execvp(a[0], a.data());
        std::perror(a[0]);
        _exit(127);
    }
    close(in[0]);
    std::thread relay([term] {
        char buf[512];
        ssize_t n;
        // The master reads EIO once the program and its terminal are gone.
        while ((n = read(term, buf, sizeof buf)) > 0) {
            std::fwrite(buf, 1, static_cast<size_t>(n), stdout);
            std::fflush(stdout);
        }
    });
    if (person != nullptr) person(in[1], pid);
    close(in[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    relay.join();
    close(term);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// An attribute's text without its line end.
std::string attr(const std::string& path)
{
    std::string s = sandbox::get(path);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\0')) s.pop_back();
    return s;
}

std::string program(const char* name) { return std::string(HX_PROGRAM_DIR) + "/" + name; }

void encoder_tour()
{
    banner("encoder channels 1-3: eQEP units in sysfs");
    std::printf("hx_hwquad_init() = %d\n", hx_hwquad_init());
    std::printf("kernel's enabled attribute of unit 1 now holds \"%s\"\n",
                attr(sandbox::eqep_enabled(1)).c_str());
    sandbox::put(sandbox::eqep_position(2), "1500\n");  // the wheel on channel 2 turns
    sandbox::put(sandbox::eqep_position(3), "-73\n");
    std::printf("after turning wheels 2 and 3: read 1, 2, 3 = %d, %d, %d\n", hx_hwquad_read(1),
                hx_hwquad_read(2), hx_hwquad_read(3));
    std::printf("hx_hwquad_write(1, 4096) = %d\n", hx_hwquad_write(1, 4096));
    std::printf("hx_hwquad_read(1) = %d\n", hx_hwquad_read(1));
    std::printf("hx_hwquad_read(4) (belongs to the PRU) prints:\n");
    std::fflush(stdout);
    hx_hwquad_read(4);
    hx_hwquad_cleanup();

    banner("encoder channel 4: firmware on PRU core 0");
    firmware::start({firmware::clears::at_start});
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = hx_fwquad_init();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    std::printf("hx_fwquad_init() = %d after %lld ms (firmware handshake)\n", rc, static_cast<long long>(ms.count()));
    std::printf("remoteproc1: firmware \"%s\", state \"%s\"\n",
                attr(sandbox::remoteproc_firmware(0)).c_str(),
                attr(sandbox::remoteproc_state(0)).c_str());
    firmware::set_step(1);  // the wheel on channel 4 turns forwards
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(100ms);
        std::printf("hx_fwquad_read() = %d\n", hx_fwquad_read());
    }
    firmware::set_step(0);
    const int written = hx_fwquad_write(-5000);
    std::printf("hx_fwquad_write(-5000) = %d, read = %d\n", written, hx_fwquad_read());
    hx_fwquad_cleanup();
    std::this_thread::sleep_for(20ms);
    std::printf("after hx_fwquad_cleanup: count word %u, state \"%s\"\n", sandbox::pru_shared_ram()[16],
                attr(sandbox::remoteproc_state(0)).c_str());
    firmware::stop();
}

void press_enter_slowly(int fd, pid_t)
{
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(300ms);
        std::printf("   [pwm0 duty_cycle %s ns]\n", attr(sandbox::pwm_attr(0, "duty_cycle")).c_str());
        std::printf("   [presses Enter]\n");
        std::fflush(stdout);
        if (write(fd, "\n", 1) != 1) return;
    }
}

void program_tour()
{
    banner("hx_serial_echo 1: RX wired to TX on the simulated /dev/ttyS1");
    std::printf("exit status %d\n", run({program("hx_serial_echo"), "1"}));
    banner("serial_probe 1");
    std::printf("exit status %d\n", run({program("serial_probe"), "1"}));
    banner("hx_throttle_cal: PWM outputs in sysfs; Enter pressed every 0.3 s");
    std::printf("exit status %d; pwm0 afterwards: enable %s, duty_cycle %s\n",
                run({program("hx_throttle_cal")}, press_enter_slowly),
                attr(sandbox::pwm_attr(0, "enable")).c_str(),
                attr(sandbox::pwm_attr(0, "duty_cycle")).c_str());

    banner("hx_press_monitor: buttons need a GPIO chip, so this runs on the fake board");
    char script[] = "/tmp/hx-simboard-buttons-XXXXXX";
    const int fd = mkstemp(script);
    const char* presses = "button 200 2 5 press\nbutton 350 2 5 release\n"
                          "button 500 2 4 press\nbutton 650 2 4 release\n";
    if (fd < 0 || write(fd, presses, std::strlen(presses)) < 0) return;
    close(fd);
    std::printf("(presses pause and mode, then Ctrl-C after 1 s)\n");
    const auto ctrl_c_later = [](int, pid_t pid) {
        std::this_thread::sleep_for(1s);
        kill(pid, SIGINT);
    };
    const int status = run({program("hx_press_monitor")}, ctrl_c_later,
                           {std::string("LD_LIBRARY_PATH=") + HX_FAKE_BOARD_DIR,
                            std::string("HX_FAKE_SCRIPT=") + script});
    std::printf("exit status %d\n", status);
    unlink(script);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string why;
    if (!sandbox::enter(&why)) {
        std::fprintf(stderr, "simboard: can't build the simulated board here (%s); run as root\n", why.c_str());
        return 1;
    }
    build_board();
    if (argc > 2 && std::strcmp(argv[1], "--") == 0) {
        return run(std::vector<std::string>(argv + 2, argv + argc));
    }
    std::printf("halvex on a simulated board: every file below /sys and /dev is built in a\n"
                "private mount namespace; the library and programs run their real code.\n");
    encoder_tour();
    program_tour();
    return 0;
}
