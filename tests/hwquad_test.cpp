// hwquad on the simulated kernel of every kernel generation, and on plain files for the
// texts and faults that no driver produces.
#include <sim/sandbox.h>
#include "support/capture.h"
#include "support/fd_count.h"
#include "support/kernels.h"

#include <hx/hwquad.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <thread>

using namespace std::string_literals;

namespace {

class Hwquad : public testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        sandbox::reset();
        sandbox::add_eqep();
    }
    void TearDown() override { hx_hwquad_cleanup(); }
};

const std::string open_failure_enoent =
    "ERROR in hx_hwquad_init, failed to open device driver: No such file or directory\n"
    "Perhaps kernel or device tree is too old\n";

TEST_F(Hwquad, InitEnablesAndZeroesEveryUnitThenReadsAndWritesCounts)
{
    sandbox::put(sandbox::eqep_position(2), "1234\n");
    ASSERT_EQ(hx_hwquad_init(), 0);
    for (int ch = 1; ch <= 3; ++ch) {
        EXPECT_EQ(sandbox::get(sandbox::eqep_enabled(ch)), "1\0"s) << ch;
        EXPECT_EQ(sandbox::get(sandbox::eqep_position(ch)).substr(0, 2), "0\0"s) << ch;
        EXPECT_EQ(hx_hwquad_read(ch), 0) << ch;
    }
    // The driver writes its count as text; the module parses what it finds.
    sandbox::put(sandbox::eqep_position(3), "-42\n");
    EXPECT_EQ(hx_hwquad_read(3), -42);
    ASSERT_EQ(hx_hwquad_write(2, 77), 0);
    EXPECT_EQ(hx_hwquad_read(2), 77);
}

TEST_F(Hwquad, ParsesPositionTextLikeAtoiButSafely)
{
    ASSERT_EQ(hx_hwquad_init(), 0);
    const struct {
        std::string text;
        int expected;
    } cases[] = {
        {"-42\n", -42},
        {"", 0},
        {"abc", 0},
        {"  +7", 7},
        {"\t\n-0013x9", -13},
        {"2147483647\n", INT_MAX},
        {"-2147483648\n", INT_MIN},
        {"99999999999", INT_MAX},   // beyond 32 bits: the nearest limit
        {"-99999999999", INT_MIN},
        {"0000000000079", 7},       // only the 12 bytes read count, not the 13th
        {"123456789012", INT_MAX},  // 12 digits and no NUL
    };
    for (const auto& c : cases) {
        sandbox::put(sandbox::eqep_position(1), c.text);
        EXPECT_EQ(hx_hwquad_read(1), c.expected) << '"' << c.text << '"';
    }
}

TEST_F(Hwquad, WritesTwelveBytesWithZeroFiller)
{
    ASSERT_EQ(hx_hwquad_init(), 0);
    sandbox::put(sandbox::eqep_position(1), "xxxxxxxxxxxxxxxx");
    ASSERT_EQ(hx_hwquad_write(1, INT_MIN), 0);
    EXPECT_EQ(sandbox::get(sandbox::eqep_position(1)), "-2147483648\0xxxx"s);
    ASSERT_EQ(hx_hwquad_write(1, 0), 0);
    EXPECT_EQ(sandbox::get(sandbox::eqep_position(1)), "0\0\0\0\0\0\0\0\0\0\0\0xxxx"s);
}

TEST_F(Hwquad, RefusesCallsBeforeInitAndChannelsItDoesNotOwn)
{
    for (int ch : {1, 4, 0, 5, -1}) {
        int r = 0, w = 0;
        EXPECT_EQ(stderr_of([&] { r = hx_hwquad_read(ch); }),
                  "ERROR in hx_hwquad_read, please initialize with hx_hwquad_init() first\n");
        EXPECT_EQ(stderr_of([&] { w = hx_hwquad_write(ch, 5); }),
                  "ERROR in hx_hwquad_write, please initialize with hx_hwquad_init() first\n");
        EXPECT_EQ(r, -1);
        EXPECT_EQ(w, -1);
    }
    ASSERT_EQ(hx_hwquad_init(), 0);
    int r = 0, w = 0;
    EXPECT_EQ(stderr_of([&] { r = hx_hwquad_read(4); }),
              "ERROR in hx_hwquad_read, channel 4 is read by the PRU, use hx_fwquad_read instead\n");
    EXPECT_EQ(stderr_of([&] { w = hx_hwquad_write(4, 1); }),
              "ERROR in hx_hwquad_write, channel 4 is read by the PRU, use hx_fwquad_write instead\n");
    EXPECT_EQ(r, -1);
    EXPECT_EQ(w, -1);
    for (int ch : {0, 5, -1}) {
        EXPECT_EQ(stderr_of([&] { r = hx_hwquad_read(ch); }),
                  "ERROR: in hx_hwquad_read, encoder channel must be between 1 & 3 inclusive\n");
        EXPECT_EQ(stderr_of([&] { w = hx_hwquad_write(ch, 1); }),
                  "ERROR: in hx_hwquad_write, encoder channel must be between 1 & 3 inclusive\n");
        EXPECT_EQ(r, -1);
        EXPECT_EQ(w, -1);
    }
}

TEST_F(Hwquad, SecondInitKeepsCountsButInitAfterCleanupZeroesThemAgain)
{
    ASSERT_EQ(hx_hwquad_init(), 0);
    sandbox::put(sandbox::eqep_position(1), "55\n");
    sandbox::put(sandbox::eqep_enabled(1), "0\n");
    EXPECT_EQ(hx_hwquad_init(), 0);
    EXPECT_EQ(hx_hwquad_read(1), 55);
    EXPECT_EQ(sandbox::get(sandbox::eqep_enabled(1)), "0\n");

    EXPECT_EQ(hx_hwquad_cleanup(), 0);
    EXPECT_EQ(hx_hwquad_cleanup(), 0);  // nothing left to close: still fine
    ASSERT_EQ(hx_hwquad_init(), 0);
    EXPECT_EQ(hx_hwquad_read(1), 0);
    EXPECT_EQ(sandbox::get(sandbox::eqep_enabled(1)), "1\0"s);
}

TEST_F(Hwquad, EachInitFailureIsReportedAndLeavesTheModuleUninitialised)
{
    struct {
        const char* name;
        void (*breakage)();
        std::string report;
    } cases[] = {
        {"missing enable attribute", [] { sandbox::remove(sandbox::eqep_enabled(1)); },
         open_failure_enoent},
        {"read-only enable attribute",
         [] { sandbox::bind(sandbox::eqep_enabled(3), sandbox::eqep_enabled(3), true); },
         "ERROR in hx_hwquad_init, failed to open device driver: Read-only file system\n"
         "Perhaps kernel or device tree is too old\n"},
        {"directory for a position attribute",
         [] {
             sandbox::remove(sandbox::eqep_position(2));
             sandbox::make_dir(sandbox::eqep_position(2));
         },
         "ERROR in hx_hwquad_init, failed to open device driver: Is a directory\n"
         "Perhaps kernel or device tree is too old\n"},
        {"enable write fails", [] { sandbox::bind("/dev/full", sandbox::eqep_enabled(2)); },
         "ERROR in hx_hwquad_init, failed to enable device driver: No space left on device\n"},
        {"zeroing write fails", [] { sandbox::bind("/dev/full", sandbox::eqep_position(3)); },
         "ERROR in hx_hwquad_init, failed to zero out position: No space left on device\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sandbox::reset();
        sandbox::add_eqep();
        c.breakage();
        int rc = 0;
        EXPECT_EQ(stderr_of([&] { rc = hx_hwquad_init(); }), c.report);
        EXPECT_EQ(rc, -1);
        int r = 0;
        EXPECT_EQ(stderr_of([&] { r = hx_hwquad_read(1); }),
                  "ERROR in hx_hwquad_read, please initialize with hx_hwquad_init() first\n");
        EXPECT_EQ(r, -1);
        hx_hwquad_cleanup();
    }
}

TEST_F(Hwquad, MissingPositionOfChannelTwoStopsInitAfterEnablingUnitTwo)
{
    sandbox::remove(sandbox::eqep_position(2));
    sandbox::put(sandbox::eqep_position(1), "9\n");
    int rc = 0;
    EXPECT_EQ(stderr_of([&] { rc = hx_hwquad_init(); }), open_failure_enoent);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(sandbox::get(sandbox::eqep_enabled(1)), "1\0"s);
    EXPECT_EQ(sandbox::get(sandbox::eqep_position(1)), "0\0"s);
    EXPECT_EQ(sandbox::get(sandbox::eqep_enabled(2)), "1\0"s);
    EXPECT_EQ(sandbox::get(sandbox::eqep_enabled(3)), "0\n");

    // Once the attribute is back, init completes.
    sandbox::put(sandbox::eqep_position(2), "3\n");
    EXPECT_EQ(hx_hwquad_init(), 0);
    EXPECT_EQ(hx_hwquad_read(2), 0);
}

TEST_F(Hwquad, FailedSeeksAndWritesLeaveTheModuleReady)
{
    // A FIFO opens and takes the zeroing write, but cannot seek.
    sandbox::make_fifo(sandbox::eqep_position(1));
    ASSERT_EQ(hx_hwquad_init(), 0);
    int r = 0, w = 0;
    EXPECT_EQ(stderr_of([&] { r = hx_hwquad_read(1); }),
              "ERROR: in hx_hwquad_read, failed to seek to beginning of fd: Illegal seek\n");
    EXPECT_EQ(stderr_of([&] { w = hx_hwquad_write(1, 3); }),
              "ERROR: in hx_hwquad_write, failed to seek to beginning of fd: Illegal seek\n");
    EXPECT_EQ(r, -1);
    EXPECT_EQ(w, -1);

    // A file size limit of 0 makes the 12-byte write fail.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit none = old;
    none.rlim_cur = 0;
    setrlimit(RLIMIT_FSIZE, &none);
    EXPECT_EQ(stderr_of([&] { w = hx_hwquad_write(2, 3); }),
              "ERROR in hx_hwquad_write, can't write position fd: File too large\n");
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(w, -1);

    EXPECT_EQ(hx_hwquad_write(2, 8), 0);
    EXPECT_EQ(hx_hwquad_read(2), 8);
}

TEST_F(Hwquad, DescriptorZeroIsARealDescriptor)
{
    // With standard input closed, the first attribute opened gets descriptor 0.
    const int saved_stdin = dup(0);
    close(0);
    ASSERT_EQ(hx_hwquad_init(), 0);
    EXPECT_NE(fcntl(0, F_GETFD), -1);
    ASSERT_EQ(hx_hwquad_write(1, 31), 0);
    EXPECT_EQ(hx_hwquad_read(1), 31);
    EXPECT_EQ(sandbox::get(sandbox::eqep_position(1)).substr(0, 3), "31\0"s);
    hx_hwquad_cleanup();
    EXPECT_EQ(fcntl(0, F_GETFD), -1) << "descriptor 0 was not closed by cleanup";
    dup2(saved_stdin, 0);
    close(saved_stdin);
}

TEST_F(Hwquad, NoDescriptorLeaksOverManyInitAndCleanupCycles)
{
    const int before = open_descriptors();
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(hx_hwquad_init(), 0);
        EXPECT_EQ(open_descriptors(), before + 3);
        hx_hwquad_cleanup();

        // Zeroing of channel 3 fails: channels 1 and 2 stay held until the next init.
        sandbox::bind("/dev/full", sandbox::eqep_position(3));
        stderr_of([] { EXPECT_EQ(hx_hwquad_init(), -1); });
        // Enabling unit 2 fails too: the old entries are closed, only channel 1 is held.
        sandbox::bind("/dev/full", sandbox::eqep_enabled(2));
        stderr_of([] { EXPECT_EQ(hx_hwquad_init(), -1); });
        EXPECT_EQ(open_descriptors(), before + 1);

        sandbox::reset();
        sandbox::add_eqep();
        ASSERT_EQ(hx_hwquad_init(), 0);  // no cleanup between the failure and this init
        EXPECT_EQ(open_descriptors(), before + 3);
        hx_hwquad_cleanup();
        EXPECT_EQ(open_descriptors(), before);
    }
}

// ---- On the simulated kernel ---------------------------------------------------------

constexpr const char* units[] = {"48300180", "48302180", "48304180"};

// Where a profile keeps a unit's count and its enable switch.
struct unit_files {
    std::string count, enable, ceiling;
};

unit_files files_of(int ch)
{
    const std::string unit = units[ch - 1];
    const std::string legacy = "/sys/devices/platform/ocp/" + unit.substr(0, 5) + "000.epwmss/" + unit + ".eqep";
    if (access((legacy + "/enabled").c_str(), F_OK) == 0) return {legacy + "/position", legacy + "/enabled", ""};
    unit_files f;
    for (int n = 0; n < 3; ++n) {
        const std::string dev = "/sys/bus/counter/devices/counter" + std::to_string(n);
        if (access((dev + "/name").c_str(), F_OK) == 0 && sandbox::get(dev + "/name") == unit + ".counter\n")
            f = {dev + "/count0/count", dev + "/count0/enable", dev + "/count0/ceiling"};
    }
    return f;
}

class HwquadKernel : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        REQUIRE_SIMULATED_KERNEL();
        sandbox::reset();
        sandbox::boot(GetParam());
        legacy = GetParam() == "vendor-4.19";
    }
    void TearDown() override { hx_hwquad_cleanup(); }
    bool legacy = false;
};

TEST_P(HwquadKernel, InitSwitchesEveryUnitOnAndTheWheelsCountFromZero)
{
    // Before init a counter device counts nothing (off, ceiling 0); the legacy driver
    // counts from probe on.
    for (int ch = 1; ch <= 3; ++ch) sandbox::steer(std::string("count ") + units[ch - 1] + " 77");
    ASSERT_EQ(hx_hwquad_init(), 0);
    for (int ch = 1; ch <= 3; ++ch) {
        const unit_files f = files_of(ch);
        EXPECT_EQ(sandbox::get(f.enable), "1\n") << ch;
        if (!legacy) {
            EXPECT_EQ(sandbox::get(f.ceiling), "4294967295\n") << ch;
        }
        EXPECT_EQ(sandbox::get(f.count), "0\n") << ch;
        EXPECT_EQ(hx_hwquad_read(ch), 0) << ch;
    }
    sandbox::steer("wheel 48300180 2000");
    sandbox::steer("wheel 48302180 -3000");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int forwards = hx_hwquad_read(1), backwards = hx_hwquad_read(2);
    EXPECT_GT(forwards, 50);
    EXPECT_LT(forwards, 2000);
    EXPECT_LT(backwards, -50);  // below zero: the signed view of a counter's wrap
    EXPECT_GT(backwards, -3000);
    EXPECT_EQ(hx_hwquad_read(3), 0);
}

TEST_P(HwquadKernel, PositionsAcrossTheWholeSignedRangeReadBack)
{
    ASSERT_EQ(hx_hwquad_init(), 0);
    for (int pos : {-1, 1, 123456, INT_MIN, INT_MAX, 0}) {
        ASSERT_EQ(hx_hwquad_write(3, pos), 0) << pos;
        EXPECT_EQ(hx_hwquad_read(3), pos);
    }
    ASSERT_EQ(hx_hwquad_write(3, -1), 0);
    // What the kernel holds: the driver's signed count, or the counter's unsigned one.
    EXPECT_EQ(sandbox::get(files_of(3).count), legacy ? "-1\n" : "4294967295\n");
}

TEST_P(HwquadKernel, AMissingUnitOrARefusedStepIsReportedAsBefore)
{
    const unit_files f = files_of(2);
    sandbox::steer("fail " + f.enable + " write " + std::to_string(EINVAL));
    int rc = 0;
    EXPECT_EQ(stderr_of([&] { rc = hx_hwquad_init(); }),
              "ERROR in hx_hwquad_init, failed to enable device driver: Invalid argument\n");
    EXPECT_EQ(rc, -1);
    sandbox::steer("fail " + f.enable + " write 0");

    // The unit's device is gone: neither interface exists for it.
    if (legacy) {
        sandbox::steer("remove " + f.enable);
    } else {
        for (int n = 0; n < 3; ++n) {
            const std::string dev = "/sys/bus/counter/devices/counter" + std::to_string(n);
            if (f.count.rfind(dev + "/", 0) == 0) sandbox::steer("remove " + dev);
        }
    }
    EXPECT_EQ(stderr_of([&] { rc = hx_hwquad_init(); }), open_failure_enoent);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(sandbox::get(files_of(1).enable), "1\n");  // unit 1 was switched on before
}

TEST_P(HwquadKernel, AnAttributeThatVanishesMidWorkFailsTheReadUntilANewInit)
{
    ASSERT_EQ(hx_hwquad_init(), 0);
    const unit_files f = files_of(1);
    sandbox::steer("fail " + f.count + " read " + std::to_string(EIO));
    int r = 0;
    EXPECT_EQ(stderr_of([&] { r = hx_hwquad_read(1); }),
              "ERROR in hx_hwquad_read, can't read position fd: Input/output error\n");
    EXPECT_EQ(r, -1);
    EXPECT_EQ(hx_hwquad_read(2), 0);  // the other channels go on
    sandbox::steer("fail " + f.count + " read 0");
    EXPECT_EQ(hx_hwquad_read(1), 0);
}

TEST_P(HwquadKernel, ADeviceThatGoesAwayFailsReadsAndANewInitWorksOnceItIsBack)
{
    ASSERT_EQ(hx_hwquad_init(), 0);
    // The whole unit goes: its legacy directory, or its counter device.
    const unit_files f = files_of(2);
    char device[512];
    ASSERT_NE(realpath(f.count.substr(0, f.count.find(legacy ? "/position" : "/count0/count")).c_str(), device), nullptr);
    sandbox::steer(std::string("unplug ") + device);
    int r = 0, w = 0;
    EXPECT_EQ(stderr_of([&] { r = hx_hwquad_read(2); }),
              "ERROR in hx_hwquad_read, can't read position fd: No such device\n");
    EXPECT_EQ(stderr_of([&] { w = hx_hwquad_write(2, 5); }),
              "ERROR in hx_hwquad_write, can't write position fd: No such device\n");
    EXPECT_EQ(r, -1);
    EXPECT_EQ(w, -1);
    EXPECT_EQ(hx_hwquad_read(1), 0);  // the others go on

    hx_hwquad_cleanup();
    EXPECT_EQ(stderr_of([&] { r = hx_hwquad_init(); }), open_failure_enoent);
    EXPECT_EQ(r, -1);
    sandbox::steer(std::string("replug ") + device);
    ASSERT_EQ(hx_hwquad_init(), 0);
    ASSERT_EQ(hx_hwquad_write(2, -7), 0);
    EXPECT_EQ(hx_hwquad_read(2), -7);
}

TEST_P(HwquadKernel, AWriteTheDeviceFailsIsReportedAndTheNextOneWorks)
{
    ASSERT_EQ(hx_hwquad_init(), 0);
    const unit_files f = files_of(3);
    sandbox::steer("fail " + f.count + " write " + std::to_string(EIO));
    int w = 0;
    EXPECT_EQ(stderr_of([&] { w = hx_hwquad_write(3, 99); }),
              "ERROR in hx_hwquad_write, can't write position fd: Input/output error\n");
    EXPECT_EQ(w, -1);
    sandbox::steer("fail " + f.count + " write 0");
    EXPECT_EQ(hx_hwquad_write(3, 99), 0);
    EXPECT_EQ(hx_hwquad_read(3), 99);
}

INSTANTIATE_ON_EVERY_KERNEL(HwquadKernel);

TEST(HwquadBareBoard, WithNeitherInterfaceInitFailsAsBefore)
{
    REQUIRE_SIMULATED_KERNEL();
    sandbox::reset();
    sandbox::boot("bare");
    int rc = 0;
    EXPECT_EQ(stderr_of([&] { rc = hx_hwquad_init(); }), open_failure_enoent);
    EXPECT_EQ(rc, -1);
    hx_hwquad_cleanup();
}

}  // namespace
