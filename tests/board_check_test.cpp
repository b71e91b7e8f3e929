// hx_board_check on the simulated kernel of every generation and on a kernel without
// the board's devices: every line as a person reads it, and the exit status (0 only
// where every service is found). And the board functions themselves where what a board
// shows cannot be had here: a GPIO chip of a kernel before 5.10, a node this user may
// not open, a serial port with no UART behind it, the firmware loader's search order.
#include "support/kernels.h"

#include <hx/board.h>
#include <hx/hwquad.h>
#include <sim/firmware.h>
#include <sim/program.h>
#include <sim/sandbox.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdarg>
#include <dlfcn.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <sstream>
#include <linux/gpio.h>
#include <map>
#include <string>
#include <vector>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// How the GPIO chip answers uAPI v2's line information here: -1 as the device does
// (this machine's kernel), 0 as a 5.10+ kernel's chip, or an errno.
std::atomic<int> line_info_answer{-1};

}  // namespace

// Interposed on the C library's for the library's calls: answers the line information
// request as line_info_answer says, everything else as the C library does.
extern "C" int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    const int answer = line_info_answer.load();
    if (request == GPIO_V2_GET_LINEINFO_IOCTL && answer >= 0) {
        if (answer == 0) return 0;
        errno = answer;
        return -1;
    }
    static const auto real = reinterpret_cast<int (*)(int, unsigned long, void*)>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}

namespace {

// The program's output, without the terminal's carriage returns.
std::string run_check(int* status)
{
    program::options o;
    o.fake_board = false;
    program::session s;
    *status = program::run("hx_board_check", o, &s);
    std::string out;
    for (const char c : s.out)
        if (c != '\r') out += c;
    return out;
}

// What each kernel generation numbers and how it offers the units: the same board.
const std::map<std::string, std::string> found = {
    {"vendor-4.19",
     "encoder 1        legacy attributes (/sys/devices/platform/ocp/48300000.epwmss/48300180.eqep)\n"
     "encoder 2        legacy attributes (/sys/devices/platform/ocp/48302000.epwmss/48302180.eqep)\n"
     "encoder 3        legacy attributes (/sys/devices/platform/ocp/48304000.epwmss/48304180.eqep)\n"
     "encoder 4 (PRU)  remoteproc1 (4a334000.pru)\n"
     "PRU 0 firmware   /dev/firmware/am335x-pru0-hx-encoder-fw\n"
     "servos (PRU 1)   remoteproc2 (4a338000.pru)\n"
     "PRU 1 firmware   /dev/firmware/am335x-pru1-hx-servo-fw\n"
     "PRU memories     /dev/mem (no UIO device of the PRU memories: root only)\n"},
    {"vendor-6.1",
     "encoder 1        counter device counter0 (48300180.counter)\n"
     "encoder 2        counter device counter1 (48302180.counter)\n"
     "encoder 3        counter device counter2 (48304180.counter)\n"
     "encoder 4 (PRU)  remoteproc1 (4a334000.pru)\n"
     "PRU 0 firmware   /dev/firmware/am335x-pru0-hx-encoder-fw\n"
     "servos (PRU 1)   remoteproc2 (4a338000.pru)\n"
     "PRU 1 firmware   /dev/firmware/am335x-pru1-hx-servo-fw\n"
     "PRU memories     /dev/mem (no UIO device of the PRU memories: root only)\n"},
    {"mainline-6.12",
     "encoder 1        counter device counter1 (48300180.counter)\n"
     "encoder 2        counter device counter2 (48302180.counter)\n"
     "encoder 3        counter device counter0 (48304180.counter)\n"
     "encoder 4 (PRU)  remoteproc0 (4a334000.pru)\n"
     "PRU 0 firmware   /dev/firmware/am335x-pru0-hx-encoder-fw\n"
     "servos (PRU 1)   remoteproc1 (4a338000.pru)\n"
     "PRU 1 firmware   /dev/firmware/am335x-pru1-hx-servo-fw\n"
     "PRU memories     /dev/mem (no UIO device of the PRU memories: root only)\n"},
};
const std::map<std::string, int> bank2_chip = {{"vendor-4.19", 2}, {"vendor-6.1", 2}, {"mainline-6.12", 1}};

const std::string serial =
    "serial 0         /dev/ttyS0 (44e09000.serial)\n"
    "serial 1         /dev/ttyS1 (48022000.serial)\n"
    "serial 2         /dev/ttyS2 (48024000.serial)\n"
    "serial 5         /dev/ttyS5 (481aa000.serial)\n";

// Every signal's pad as the board's tree with halvex-device-tree muxes it, whichever way
// the kernel prints its pins file (4.x without the GPIO column).
const std::string pads =
    "pin mux          /sys/kernel/debug/pinctrl/44e10800.pinmux-pinctrl-single\n"
    "encoder 1 A      pad mcasp0_aclkr (B12) mode 1 (eqep0a_in), input, no pull\n"
    "encoder 1 B      pad mcasp0_fsr (C13) mode 1 (eqep0b_in), input, no pull\n"
    "encoder 2 A      pad lcd_data12 (V2) mode 2 (eqep1a_in), input, no pull\n"
    "encoder 2 B      pad lcd_data13 (V3) mode 2 (eqep1b_in), input, no pull\n"
    "encoder 3 A      pad gpmc_ad12 (T12) mode 4 (eqep2a_in), input, no pull\n"
    "encoder 3 B      pad gpmc_ad13 (R12) mode 4 (eqep2b_in), input, no pull\n"
    "encoder 4 A      pad gpmc_ad14 (V13) mode 6 (pr1_pru0_pru_r31_14), input, pull-up\n"
    "encoder 4 B      pad gpmc_ad15 (U13) mode 6 (pr1_pru0_pru_r31_15), input, pull-up\n"
    "servo 1          pad lcd_vsync (U5) mode 5 (pr1_pru1_pru_r30_8), output, pull-down\n"
    "servo 2          pad lcd_pclk (V5) mode 5 (pr1_pru1_pru_r30_10), output, pull-down\n"
    "servo 3          pad lcd_hsync (R5) mode 5 (pr1_pru1_pru_r30_9), output, pull-down\n"
    "servo 4          pad lcd_ac_bias_en (R6) mode 5 (pr1_pru1_pru_r30_11), output, pull-down\n"
    "servo 5          pad lcd_data6 (T3) mode 5 (pr1_pru1_pru_r30_6), output, pull-down\n"
    "servo 6          pad lcd_data7 (T4) mode 5 (pr1_pru1_pru_r30_7), output, pull-down\n"
    "servo 7          pad lcd_data4 (T1) mode 5 (pr1_pru1_pru_r30_4), output, pull-down\n"
    "servo 8          pad lcd_data5 (T2) mode 5 (pr1_pru1_pru_r30_5), output, pull-down\n"
    "servo rail       pad lcd_data10 (U3) mode 7 (gpio2_16), output, pull-down\n"
    "mode button      pad gpmc_wen (U6) mode 7 (gpio2_4), input, pull-up\n"
    "pause button     pad gpmc_ben0_cle (T6) mode 7 (gpio2_5), input, pull-up\n"
    "serial 0 RX      pad uart0_rxd (E15) mode 0 (uart0_rxd), input, pull-up\n"
    "serial 0 TX      pad uart0_txd (E16) mode 0 (uart0_txd), output, pull-down\n"
    "serial 1 RX      pad uart1_rxd (D16) mode 0 (uart1_rxd), input, pull-up\n"
    "serial 1 TX      pad uart1_txd (D15) mode 0 (uart1_txd), output, pull-down\n"
    "serial 2 RX      pad spi0_sclk (A17) mode 1 (uart2_rxd), input, pull-up\n"
    "serial 2 TX      pad spi0_d0 (B17) mode 1 (uart2_txd), output, pull-down\n"
    "serial 5 RX      pad lcd_data9 (U2) mode 4 (uart5_rxd), input, pull-up\n"
    "serial 5 TX      pad lcd_data8 (U1) mode 4 (uart5_txd), output, pull-down\n";

const std::string serial_and_root = serial + pads + "privileges       root\n";

const char* const wrong_pad_todo =
    "                   -> install halvex-device-tree and reboot (README: the board's device tree), or give the pad "
    "that value in a tree of your own\n";

class BoardCheck : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        REQUIRE_SIMULATED_KERNEL();
        if (geteuid() != 0) GTEST_SKIP() << "the check's last line is about root";
        sandbox::reset();
        sandbox::boot(GetParam());
        for (const int bus : {0, 1, 2, 5}) sandbox::add_serial(bus, false);
    }
};

// The simulated kernel has no GPIO character device: buttons are the one thing missing.
TEST_P(BoardCheck, FindsEveryUnitByAddressAndSaysWhatIsMissing)
{
    int status = 0;
    const std::string chip = "/dev/gpiochip" + std::to_string(bank2_chip.at(GetParam()));
    EXPECT_EQ(run_check(&status),
              found.at(GetParam()) + "buttons          MISSING: " + chip +
                  " (481ac000.gpio): No such file or directory\n"
                  "                   -> enable gpio2 (481ac000) in the device tree; its /dev node comes from devtmpfs\n" +
                  serial_and_root + "\n1 missing.\n");
    EXPECT_EQ(status, 1);
}

// With bank 2's node there (a chip without uAPI v2: ENOTTY, as 4.x kernels answer), all
// is found: exit status 0. Without the firmware image, that is what to install.
TEST_P(BoardCheck, ExitsZeroOnlyWhenEverythingIsThere)
{
    const std::string chip = "/dev/gpiochip" + std::to_string(bank2_chip.at(GetParam()));
    sandbox::bind("/dev/null", chip);
    const std::string buttons =
        "buttons          " + chip + " (481ac000.gpio), uAPI v1 only: the service debounces itself\n";
    int status = 0;
    EXPECT_EQ(run_check(&status),
              found.at(GetParam()) + buttons + serial_and_root + "\nEverything halvex needs is there.\n");
    EXPECT_EQ(status, 0);

    firmware::install("am335x-pru1-hx-servo-fw", "absent");
    std::string expect = found.at(GetParam());
    const std::string there = "PRU 1 firmware   /dev/firmware/am335x-pru1-hx-servo-fw\n";
    // (the line after it, the PRU memories', stays)
    expect.replace(expect.find(there), there.size(),
                   "PRU 1 firmware   MISSING: no am335x-pru1-hx-servo-fw in " + firmware::search_text() + "\n"
                   "                   -> install the halvex-pru-firmware package\n");
    EXPECT_EQ(run_check(&status), expect + buttons + serial_and_root + "\n1 missing.\n");
    EXPECT_EQ(status, 1);
}

// The pads as Debian's own tree for the board leaves them (nothing of the PRU's, the
// buttons' or the rail's muxed, eQEP0's group on pad 0x998), with two more faults a tree
// of one's own can have: an input with its receiver off, an eQEP A input on another pad.
// Each wrong pad says what its mode is and what it should be; right modes with another
// pull say so and stay found.
TEST_P(BoardCheck, EachWrongPadSaysWhatItsModeIsAndWhatItShouldBe)
{
    sandbox::bind("/dev/null", "/dev/gpiochip" + std::to_string(bank2_chip.at(GetParam())));
    for (const int pad : {0x9a0, 0x838, 0x83c, 0x8e0, 0x8e8, 0x8e4, 0x8ec, 0x8b8, 0x8bc, 0x8b0, 0x8b4, 0x898, 0x89c,
                          0x8c8})
        sandbox::steer("pad " + std::to_string(pad) + " 0x27");
    sandbox::steer("pad 0x998 0x29");
    sandbox::steer("pad 0x8d0 0x0a");  // eQEP1 A: mode 2, receiver off
    sandbox::steer("pad 0x830 0x2f");  // eQEP2 A: mode 7 ...
    sandbox::steer("pad 0x8b0 0x2b");  // ... and on lcd_data4 in mode 3 instead (servo 7's pad)
    int status = 0;
    const std::string out = run_check(&status);
    const char* const lines[] = {
        "encoder 1 A      WRONG: pad mcasp0_aclkr (B12) is in mode 7 (gpio3_18), not mode 1 (eQEP0 A); "
        "halvex-device-tree sets 0x9a0 to 0x29; eQEP 0 is enabled but neither of its A inputs is muxed: it will "
        "never count\n",
        "encoder 2 A      WRONG: pad lcd_data12 (V2) is in mode 2 (eqep1a_in) with its receiver off: the input reads "
        "nothing; halvex-device-tree sets 0x8d0 to 0x2a\n",
        "encoder 3 A      WRONG: pad gpmc_ad12 (T12) is in mode 7 (gpio1_12), not mode 4 (eQEP2 A); halvex-device-tree "
        "sets 0x830 to 0x2c; eQEP 2 A is muxed on pad lcd_data4 instead, which this board does not wire to it\n",
        "encoder 4 A      WRONG: pad gpmc_ad14 (V13) is in mode 7 (gpio1_14), not mode 6 (PRU0 R31 14); "
        "halvex-device-tree sets 0x838 to 0x36\n",
        "servo 1          WRONG: pad lcd_vsync (U5) is in mode 7 (gpio2_22), not mode 5 (PRU1 R30 8); "
        "halvex-device-tree sets 0x8e0 to 0x05\n",
        "servo 7          WRONG: pad lcd_data4 (T1) is in mode 3 (eqep2a_in), not mode 5 (PRU1 R30 4); "
        "halvex-device-tree sets 0x8b0 to 0x05\n",
        "servo rail       pad lcd_data10 (U3) mode 7 (gpio2_16), output, pull-down\n",
        "mode button      pad gpmc_wen (U6) mode 7 (gpio2_4), input, pull-down (halvex-device-tree gives it pull-up)\n",
    };
    for (const char* l : lines) {
        const auto at = out.find(l);
        ASSERT_NE(at, std::string::npos) << l << "\nnot in:\n" << out;
        if (std::string(l).find("WRONG") != std::string::npos) {
            EXPECT_EQ(out.compare(at + std::strlen(l), std::strlen(wrong_pad_todo), wrong_pad_todo), 0) << l;
        }
    }
    // Encoders 1, 2, 3 and 4 A, encoder 4 B, servos 1-8.
    EXPECT_NE(out.find("\n13 missing.\n"), std::string::npos) << out;
    EXPECT_EQ(status, 1);
}

// Without debugfs the pin mux is unread, not wrong: one line says how to mount it, and
// the check still passes on everything else.
TEST_P(BoardCheck, WithoutDebugfsThePinMuxIsUnreadAndSaysHowToMountIt)
{
    const std::string chip = "/dev/gpiochip" + std::to_string(bank2_chip.at(GetParam()));
    sandbox::bind("/dev/null", chip);
    sandbox::steer("debugfs unmount");
    int status = 0;
    EXPECT_EQ(run_check(&status),
              found.at(GetParam()) + "buttons          " + chip +
                  " (481ac000.gpio), uAPI v1 only: the service debounces itself\n" + serial +
                  "pin mux          UNKNOWN: debugfs is not mounted, and the pin mux is read from it: sudo mount -t "
                  "debugfs none /sys/kernel/debug\n"
                  "privileges       root\n\nEverything halvex needs is there, but the pin mux is unread (above).\n");
    EXPECT_EQ(status, 0);
}

// The attributes each rule of the udev rules file changes the group of, by the
// subsystem it matches: its RUN+="/bin/chgrp halvex $sys$devpath/A $sys$devpath/B".
std::map<std::string, std::vector<std::string>> rules_attributes()
{
    std::ifstream in(HX_RULES);
    std::string line, rule;
    std::map<std::string, std::vector<std::string>> out;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\\') {
            rule += line.substr(0, line.size() - 1);
            continue;
        }
        rule += line;
        const auto sub = rule.find("SUBSYSTEM==\""), run = rule.find("/bin/chgrp halvex ");
        if (sub != std::string::npos && run != std::string::npos) {
            const std::string subsystem = rule.substr(sub + 12, rule.find('"', sub + 12) - sub - 12);
            std::istringstream words(rule.substr(run + 18, rule.find('"', run) - run - 18));
            for (std::string w; words >> w;)
                if (w.rfind("$sys$devpath/", 0) == 0) out[subsystem].push_back(w.substr(13));
        }
        rule.clear();
    }
    return out;
}

// What a user who gives up root (uid and gid 65534) can do with the given groups:
// f's answer, written by the child.
std::string as_user(const std::vector<gid_t>& groups, const std::function<std::string()>& f)
{
    int answer[2];
    if (pipe(answer) != 0) return "no pipe";
    const pid_t child = fork();
    if (child == 0) {
        std::string out = "could not give up root";
        if (setgroups(groups.size(), groups.data()) == 0 && setgid(65534) == 0 && setuid(65534) == 0) out = f();
        (void)!write(answer[1], out.data(), out.size());
        _exit(0);
    }
    close(answer[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = read(answer[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    close(answer[0]);
    waitpid(child, nullptr, 0);
    return out;
}

// The simulated kernel's attributes are root's, 0644, as the kernel makes them. After
// what the udev rules file says its rules do (each attribute it names, group halvex and
// g+w: here gid 4242, which has no name), a user in that group sets up the encoders and
// the check finds the units and cores; a user outside it is refused and told the group.
// Without the PRU memories' UIO device, /dev/mem stays root's: that refusal says where a
// group gets them. (Needs root: giving up root is how another user is played.)
TEST_P(BoardCheck, AUserInTheRulesGroupMayUseWhatTheyGiveAndOthersAreToldTheGroup)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to play other users";
    const auto rules = rules_attributes();
    ASSERT_EQ(rules.count("remoteproc") + rules.count("counter") + rules.count("platform"), 3u) << HX_RULES;
    int changed = 0;
    const auto grant = [&](const std::string& dir, const std::string& subsystem) {
        for (const std::string& attr : rules.at(subsystem)) {
            const std::string path = dir + "/" + attr;
            struct stat st{};
            if (stat(path.c_str(), &st) != 0) continue;
            ASSERT_EQ(chown(path.c_str(), static_cast<uid_t>(-1), 4242), 0) << path;
            ASSERT_EQ(chmod(path.c_str(), (st.st_mode & 07777) | 020), 0) << path;
            ++changed;
        }
    };
    const auto devices = [](const std::string& dir, const std::string& prefix) {
        std::vector<std::string> out;
        for (int i = 0; i < 8; ++i)
            if (access((dir + "/" + prefix + std::to_string(i)).c_str(), F_OK) == 0)
                out.push_back(dir + "/" + prefix + std::to_string(i));
        return out;
    };
    for (const auto& d : devices("/sys/class/remoteproc", "remoteproc")) grant(d, "remoteproc");
    for (const auto& d : devices("/sys/bus/counter/devices", "counter")) grant(d, "counter");
    for (const char* d : {"/sys/devices/platform/ocp/48300000.epwmss/48300180.eqep",
                          "/sys/devices/platform/ocp/48302000.epwmss/48302180.eqep",
                          "/sys/devices/platform/ocp/48304000.epwmss/48304180.eqep"})
        grant(d, "platform");
    // Three units and three cores' two attributes each (the Cortex-M3's too, on kernels
    // that have one: its name is not the PRUs', but this loop does not look).
    EXPECT_GE(changed, GetParam() == "vendor-4.19" ? 6 + 6 : 9 + 6);
    const auto check = [] {
        char w[256];
        std::string out;
        for (int unit = 1; unit <= 3; ++unit) out += std::to_string(hx_board_eqep(unit, w, sizeof w)) + " ";
        for (int core = 0; core <= 1; ++core) out += std::to_string(hx_board_pru(core, w, sizeof w)) + " ";
        out += std::to_string(hx_board_pru_memory(w, sizeof w)) + " " + w + "; init " + std::to_string(hx_hwquad_init());
        hx_hwquad_cleanup();
        hx_board_eqep(1, w, sizeof w);
        return out + "; " + w;
    };
    const std::string member = as_user({4242}, check), other = as_user({}, check);
    EXPECT_EQ(member.substr(0, member.find(';')),
              "1 1 1 1 1 0 no UIO device of the PRU memories (pru-memories), and /dev/mem is root's")
        << member;
    EXPECT_NE(member.find("; init 0;"), std::string::npos) << member;
    EXPECT_EQ(other.substr(0, 10), "2 2 2 2 2 ") << other;
    EXPECT_NE(other.find("; init -1;"), std::string::npos) << other;
    EXPECT_NE(other.find("not this user's to write (group 4242, mode 0664)"), std::string::npos) << other;
}

INSTANTIATE_ON_EVERY_KERNEL(BoardCheck);

// A kernel without any of the board's devices: each one named with its node.
TEST(BoardCheckBare, EveryUnitIsMissingWithTheNodeToEnable)
{
    REQUIRE_SIMULATED_KERNEL();
    if (geteuid() != 0) GTEST_SKIP() << "the check's last line is about root";
    sandbox::reset();
    sandbox::boot("bare");
    for (const int bus : {0, 1, 2, 5}) sandbox::add_serial(bus, false);
    int status = 0;
    const std::string out = run_check(&status);
    std::string expect;
    const char* const units[] = {"48300180", "48302180", "48304180"};
    for (int u = 0; u < 3; ++u)
        expect += "encoder " + std::to_string(u + 1) + "        MISSING: no eQEP unit " + units[u] +
                  ": neither its vendor attributes nor a counter device\n"
                  "                   -> enable eqep" + std::to_string(u) + " (" + units[u] + ") and epwmss" +
                  std::to_string(u) + " in the device tree, and mux the unit's A and B pins\n";
    expect += "encoder 4 (PRU)  MISSING: no 4a334000.pru in /sys/class/remoteproc\n"
              "                   -> enable the PRU-ICSS (pruss, 4a300000) and its pru0 core in the device tree: "
              "halvex-device-tree does\n"
              "PRU 0 firmware   /dev/firmware/am335x-pru0-hx-encoder-fw\n"
              "servos (PRU 1)   MISSING: no 4a338000.pru in /sys/class/remoteproc\n"
              "                   -> enable the PRU-ICSS (pruss, 4a300000) and its pru1 core in the device tree: "
              "halvex-device-tree does\n"
              "PRU 1 firmware   /dev/firmware/am335x-pru1-hx-servo-fw\n"
              "PRU memories     /dev/mem (no UIO device of the PRU memories: root only)\n";
    expect += "buttons          MISSING: /dev/gpiochip2 (no AM335x bank: the chip of that number): No such file or "
              "directory\n"
              "                   -> enable gpio2 (481ac000) in the device tree; its /dev node comes from devtmpfs\n";
    // The serial nodes are there (a pty each), but no UART of the board is behind them.
    const char* const uart[] = {"0", "44e09000", "1", "48022000", "2", "48024000", "5", "481aa000"};
    for (int k = 0; k < 8; k += 2)
        expect += std::string("serial ") + uart[k] + "         MISSING: /dev/ttyS" + uart[k] + " has no UART at " +
                  uart[k + 1] + " behind it (the serial driver's placeholder)\n                   -> enable uart" +
                  uart[k] + " in the device tree and mux its RX and TX pins\n";
    expect += "pin mux          MISSING: the kernel has no pin controller (no /sys/kernel/debug/pinctrl)\n"
              "                   -> enable the control module's pinmux (44e10800, pinctrl-single) in the device tree\n"
              "privileges       root\n\n11 missing.\n";
    EXPECT_EQ(out, expect);
    EXPECT_EQ(status, 1);
}

// The board functions on the sandbox's plain files: what each answers, and why.
class BoardFunctions : public testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        sandbox::reset();
    }
    static std::string where(int (*f)(int, char*, size_t), int n, int* found)
    {
        char w[256];
        *found = f(n, w, sizeof w);
        return w;
    }
};

// Bank 2 found by its address. Before 5.10 gpio_ioctl() answers EINVAL to every command
// it does not know, the v2 line information among them; another character device
// answers ENOTTY. Only an answer is uAPI v2.
TEST_F(BoardFunctions, TheGpioLineInterfaceIsV2OnlyWhereTheKernelAnswersTheLineInformation)
{
    sandbox::make_dir("/sys/bus/gpio/devices");
    sandbox::put("/sys/devices/platform/ocp/481ac000.gpio/gpiochip3/dev", "254:3\n");
    ASSERT_EQ(symlink("/sys/devices/platform/ocp/481ac000.gpio/gpiochip3", "/sys/bus/gpio/devices/gpiochip3"), 0);
    sandbox::bind("/dev/null", "/dev/gpiochip3");
    const struct {
        int answer;
        const char* what;
    } kernels[] = {
        {EINVAL, "uAPI v1 only: the service debounces itself"},  // 4.x: a command it does not know
        {ENOTTY, "uAPI v1 only: the service debounces itself"},  // not a GPIO chip's answer at all
        {0, "uAPI v2: the kernel debounces"},                    // 5.10 and later
    };
    for (const auto& k : kernels) {
        line_info_answer = k.answer;
        int found = 0;
        EXPECT_EQ(where(hx_board_gpio, 2, &found), std::string("/dev/gpiochip3 (481ac000.gpio), ") + k.what) << k.answer;
        EXPECT_EQ(found, HX_BOARD_FOUND);
    }
    line_info_answer = -1;
}

// A chip node there but not this user's to open is not missing: the answer names whose
// it is. (Played by a child that gives up root.)
TEST_F(BoardFunctions, AGpioChipThisUserMayNotOpenIsNotPermittedAndNamesItsGroup)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to give it up";
    sandbox::make_dir("/sys/bus/gpio/devices");
    sandbox::put("/sys/devices/platform/ocp/481ac000.gpio/gpiochip2/dev", "254:2\n");
    ASSERT_EQ(symlink("/sys/devices/platform/ocp/481ac000.gpio/gpiochip2", "/sys/bus/gpio/devices/gpiochip2"), 0);
    sandbox::put("/dev/gpiochip2", "");
    ASSERT_EQ(chmod("/dev/gpiochip2", 0660), 0);
    int answer[2];
    ASSERT_EQ(pipe(answer), 0);
    const pid_t child = fork();
    if (child == 0) {
        char w[256];
        int found = -1;
        if (setgid(65534) == 0 && setuid(65534) == 0) found = hx_board_gpio(2, w, sizeof w);
        const std::string out = std::to_string(found) + " " + w;
        (void)!write(answer[1], out.data(), out.size());
        _exit(0);
    }
    close(answer[1]);
    char buf[300] = {};
    (void)!read(answer[0], buf, sizeof buf - 1);
    close(answer[0]);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(std::string(buf), "2 /dev/gpiochip2 (481ac000.gpio): not permitted to this user (group root, mode 0660)");
}

// The serial driver registers its ports whether or not a UART is there: /dev/ttyS<bus>
// alone is not the board's UART, the UART at the bus's address is. Ports laid out as a
// 6.5+ kernel lays them out (each port a device below its controller): the board's
// UART 1, a PCI UART as ttyS2, the 8250 core's placeholder as ttyS5; UART 4 as kernels
// before 6.5 lay it out.
TEST_F(BoardFunctions, ASerialPortIsTheBoardsUartOnlyWhenItIsTheDeviceAtTheBusAddress)
{
    sandbox::make_dir("/sys/class/tty");
    const struct {
        int bus;
        const char* device;  // the port's device directory
    } ports[] = {
        {1, "/sys/devices/platform/ocp/48022000.serial/48022000.serial:0/48022000.serial:0.0"},
        {2, "/sys/devices/pci0000:00/0000:00:04.0/0000:00:04.0:0/0000:00:04.0:0.0"},
        {4, "/sys/devices/platform/ocp/481a8000.serial"},
        {5, "/sys/devices/platform/serial8250/serial8250:0/serial8250:0.5"},
    };
    for (const auto& p : ports) {
        sandbox::add_serial(p.bus, false);
        const std::string port = "ttyS" + std::to_string(p.bus), dir = std::string(p.device) + "/tty/" + port;
        sandbox::make_dir(dir);
        ASSERT_EQ(symlink(p.device, (dir + "/device").c_str()), 0);
        ASSERT_EQ(symlink(dir.c_str(), ("/sys/class/tty/" + port).c_str()), 0);
    }
    const struct {
        int bus;
        int found;
        const char* where;
    } answers[] = {
        {1, HX_BOARD_FOUND, "/dev/ttyS1 (48022000.serial)"},
        {2, HX_BOARD_MISSING, "/dev/ttyS2 is the UART of 0000:00:04.0:0.0, not the board's at 48024000"},
        {4, HX_BOARD_FOUND, "/dev/ttyS4 (481a8000.serial)"},
        {5, HX_BOARD_MISSING, "/dev/ttyS5 has no UART at 481aa000 behind it (the serial driver's placeholder)"},
        {0, HX_BOARD_MISSING, "no /dev/ttyS0"},
    };
    for (const auto& p : answers) {
        int found = -1;
        EXPECT_EQ(where(hx_board_uart, p.bus, &found), p.where);
        EXPECT_EQ(found, p.found) << p.bus;
    }
}

// The kernel's loader looks in firmware_class.path, /lib/firmware/updates/<release>,
// /lib/firmware/updates, /lib/firmware/<release>, /lib/firmware, in that order. Played
// on a tmpfs laid over /lib/firmware in the sandbox's own mount namespace.
TEST_F(BoardFunctions, AFirmwareImageIsFoundWhereverTheKernelsLoaderLooksFirst)
{
    if (access("/lib/firmware", F_OK) != 0) GTEST_SKIP() << "this machine has no /lib/firmware to lay a tmpfs over";
    ASSERT_EQ(mount("tmpfs", "/lib/firmware", "tmpfs", 0, "mode=0755"), 0);
    utsname u{};
    uname(&u);
    const std::string release = u.release, image = "am335x-pru1-hx-servo-fw";
    const std::string all = "/lib/firmware/updates/" + release + ", /lib/firmware/updates, /lib/firmware/" + release +
                            " or /lib/firmware";
    char w[512];
    EXPECT_EQ(hx_board_firmware(image.c_str(), w, sizeof w), HX_BOARD_MISSING);
    EXPECT_EQ(std::string(w), "no " + image + " in " + all);
    // Laid in from the last place looked to the first: each time the new one is found.
    for (const std::string& dir : std::vector<std::string>{"/lib/firmware", "/lib/firmware/" + release,
                                                           "/lib/firmware/updates", "/lib/firmware/updates/" + release}) {
        sandbox::put(dir + "/" + image, "ELF");
        EXPECT_EQ(hx_board_firmware(image.c_str(), w, sizeof w), HX_BOARD_FOUND);
        EXPECT_EQ(std::string(w), dir + "/" + image);
    }
    // firmware_class.path comes before them all.
    sandbox::put("/sys/module/firmware_class/parameters/path", "/dev/firmware\n");
    sandbox::put("/dev/firmware/" + image, "ELF");
    EXPECT_EQ(hx_board_firmware(image.c_str(), w, sizeof w), HX_BOARD_FOUND);
    EXPECT_EQ(std::string(w), "/dev/firmware/" + image);
    EXPECT_EQ(umount2("/lib/firmware", MNT_DETACH), 0);
}

}  // namespace
