// hx_board_check on the simulated kernel of every generation and on a kernel without
// the board's devices: every line as a person reads it, and the exit status (0 only
// where every service is found).
#include "support/kernels.h"

#include <sim/firmware.h>
#include <sim/program.h>
#include <sim/sandbox.h>

#include <gtest/gtest.h>
#include <map>
#include <string>

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
     "PRU 1 firmware   /dev/firmware/am335x-pru1-hx-servo-fw\n"},
    {"vendor-6.1",
     "encoder 1        counter device counter0 (48300180.counter)\n"
     "encoder 2        counter device counter1 (48302180.counter)\n"
     "encoder 3        counter device counter2 (48304180.counter)\n"
     "encoder 4 (PRU)  remoteproc1 (4a334000.pru)\n"
     "PRU 0 firmware   /dev/firmware/am335x-pru0-hx-encoder-fw\n"
     "servos (PRU 1)   remoteproc2 (4a338000.pru)\n"
     "PRU 1 firmware   /dev/firmware/am335x-pru1-hx-servo-fw\n"},
    {"mainline-6.12",
     "encoder 1        counter device counter1 (48300180.counter)\n"
     "encoder 2        counter device counter2 (48302180.counter)\n"
     "encoder 3        counter device counter0 (48304180.counter)\n"
     "encoder 4 (PRU)  remoteproc0 (4a334000.pru)\n"
     "PRU 0 firmware   /dev/firmware/am335x-pru0-hx-encoder-fw\n"
     "servos (PRU 1)   remoteproc1 (4a338000.pru)\n"
     "PRU 1 firmware   /dev/firmware/am335x-pru1-hx-servo-fw\n"},
};
const std::map<std::string, int> bank2_chip = {{"vendor-4.19", 2}, {"vendor-6.1", 2}, {"mainline-6.12", 1}};

const char* const serial_and_root =
    "serial 0         /dev/ttyS0\n"
    "serial 1         /dev/ttyS1\n"
    "serial 2         /dev/ttyS2\n"
    "serial 5         /dev/ttyS5\n"
    "privileges       root\n";

class BoardCheck : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        REQUIRE_SANDBOX();
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
    expect.replace(expect.find(there), there.size(),
                   "PRU 1 firmware   MISSING: no am335x-pru1-hx-servo-fw in /dev/firmware or /lib/firmware\n"
                   "                   -> install the halvex-pru-firmware package\n");
    EXPECT_EQ(run_check(&status), expect + buttons + serial_and_root + "\n1 missing.\n");
    EXPECT_EQ(status, 1);
}

INSTANTIATE_ON_EVERY_KERNEL(BoardCheck);

// A kernel without any of the board's devices: each one named with its node.
TEST(BoardCheckBare, EveryUnitIsMissingWithTheNodeToEnable)
{
    REQUIRE_SANDBOX();
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
              "                   -> enable the PRU-ICSS (pruss, 4a300000) and its pru0 core in the device tree\n"
              "PRU 0 firmware   /dev/firmware/am335x-pru0-hx-encoder-fw\n"
              "servos (PRU 1)   MISSING: no 4a338000.pru in /sys/class/remoteproc\n"
              "                   -> enable the PRU-ICSS (pruss, 4a300000) and its pru1 core in the device tree\n"
              "PRU 1 firmware   /dev/firmware/am335x-pru1-hx-servo-fw\n";
    expect += "buttons          MISSING: /dev/gpiochip2 (no AM335x bank: the chip of that number): No such file or "
              "directory\n"
              "                   -> enable gpio2 (481ac000) in the device tree; its /dev node comes from devtmpfs\n";
    expect += std::string(serial_and_root) + "\n6 missing.\n";
    EXPECT_EQ(out, expect);
    EXPECT_EQ(status, 1);
}

}  // namespace
