// fwquad with the PRU service's real remoteproc and /dev/mem code, on the simulated
// kernel of every kernel generation, with the shipped encoder firmware running on the
// PRU core model and channel 4's wheel on its inputs.
#include "support/capture.h"
#include "support/kernels.h"

#include <hx/board.h>
#include <hx/fwquad.h>
#include <hx/pru.h>
#include <hx/servo.h>
#include <hx/time.h>
#include <sim/firmware.h>
#include <sim/sandbox.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <dlfcn.h>
#include <fcntl.h>
#include <cstring>
#include <unistd.h>
#include <gtest/gtest.h>
#include <random>
#include <thread>
#include <vector>

namespace {

std::atomic<int> sleeps{0};
std::atomic<int> release_at_sleep{-1};  // a held core's clock starts as this sleep begins

}  // namespace

// Interposed on the library's own sleep service: count the handshake's sleeps, and
// let a core that starts late go on.
extern "C" int hx_usleep(unsigned int us)
{
    if (++sleeps == release_at_sleep) firmware::release();
    return reinterpret_cast<int (*)(unsigned)>(dlsym(RTLD_NEXT, "hx_usleep"))(us);
}

namespace {

constexpr int count_word = 16;
const char* const never_loads =
    "ERROR in hx_fwquad_init, am335x-pru0-hx-encoder-fw failed to load\n"
    "attempting to stop PRU0\n";

class Fwquad : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        REQUIRE_SIMULATED_KERNEL();
        if (!firmware::built()) GTEST_SKIP() << firmware::not_built();
        sandbox::reset();
        sandbox::boot(GetParam());
        sleeps = 0;
        release_at_sleep = -1;
    }
    void TearDown() override
    {
        if (sandbox::entered()) stderr_of(hx_fwquad_cleanup);
    }
    static volatile uint32_t* word() { return sandbox::pru_shared_ram() + count_word; }
    static std::string state_path()
    {
        return sandbox::find_device("/sys/class/remoteproc", "4a334000.pru") + "/state";
    }
};

// First in the file: the service maps /dev/mem once per process, so this case needs a
// process that has not mapped it yet (ctest runs each test in its own).
TEST_P(Fwquad, MissingDevMemFailsInitAndCleanupOnlyStopsTheCore)
{
    sandbox::remove("/dev/mem");
    ASSERT_EQ(hx_pru_start(0, "am335x-pru0-fw"), 0);  // an older image runs
    int rc = 0;
    EXPECT_EQ(stderr_of([&] { rc = hx_fwquad_init(); }),
              "ERROR in hx_pru_shared_mem_ptr, can't open /dev/mem: No such file or directory\n"
              "ERROR in hx_fwquad_init, failed to map shared memory pointer\n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(firmware::starts_seen(), 1);  // never started by init
    hx_fwquad_cleanup();
    EXPECT_EQ(firmware::state(), "offline");
    EXPECT_EQ(firmware::stops_seen(), 1);
}

TEST_P(Fwquad, BeforeInitReadsAndWritesAreRefusedAndCleanupOnlyStopsTheCore)
{
    word()[0] = 77;  // whatever the RAM holds is not the module's before init
    ASSERT_EQ(hx_pru_start(0, "am335x-pru0-fw"), 0);
    int r = 0, w = 0;
    EXPECT_EQ(stderr_of([&] { r = hx_fwquad_read(); }),
              "ERROR in hx_fwquad_read, call hx_fwquad_init first\n");
    EXPECT_EQ(stderr_of([&] { w = hx_fwquad_write(3); }),
              "ERROR in hx_fwquad_write, call hx_fwquad_init first\n");
    EXPECT_EQ(r, -1);
    EXPECT_EQ(w, -1);
    hx_fwquad_cleanup();
    EXPECT_EQ(word()[0], 77u);
    EXPECT_EQ(firmware::state(), "offline");
}

TEST_P(Fwquad, FirmwareThatClearsAtOnceNeedsNoSleep)
{
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_fwquad_init(), 0); }), "");
    EXPECT_EQ(sleeps, 0);
    EXPECT_EQ(sandbox::get(sandbox::find_device("/sys/class/remoteproc", "4a334000.pru") + "/firmware"),
              "am335x-pru0-hx-encoder-fw\n");
    EXPECT_EQ(firmware::state(), "running");
    EXPECT_EQ(firmware::state(1), "offline");  // core 1 is left alone
    EXPECT_EQ(hx_fwquad_read(), 0);
}

TEST_P(Fwquad, ACoreThatStartsLateIsWaitedForOneSleepPerLook)
{
    ASSERT_EQ(hx_pru_start(0, "am335x-pru0-fw"), 0);  // an older image runs
    word()[0] = 1234;                                  // and the word holds something
    firmware::hold();
    release_at_sleep = 3;
    ASSERT_EQ(hx_fwquad_init(), 0);
    EXPECT_EQ(sleeps, 3);
    EXPECT_EQ(firmware::starts_seen(), 2);
    EXPECT_EQ(firmware::stops_seen(), 1);
    // The old image was stopped before the marker went in, so it could not overwrite it.
    EXPECT_EQ(firmware::word_at_stop(), 1234u);
    EXPECT_EQ(hx_fwquad_read(), 0);
}

// Another program under the encoder's name runs and never answers.
TEST_P(Fwquad, AnImageThatNeverClearsTimesOutStopsTheCoreAndRefusesReads)
{
    firmware::install("am335x-pru0-hx-encoder-fw", "silent");
    int rc = 0;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(stderr_of([&] { rc = hx_fwquad_init(); }), never_loads);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(sleeps, 40);
    EXPECT_GE(took, std::chrono::milliseconds(4000));
    EXPECT_EQ(firmware::starts_seen(), 1);
    EXPECT_EQ(firmware::state(), "offline");
    EXPECT_EQ(word()[0], 42u);  // the marker stays until cleanup
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_fwquad_read(), -1); }),
              "ERROR in hx_fwquad_read, call hx_fwquad_init first\n");

    hx_fwquad_cleanup();
    EXPECT_EQ(word()[0], 0u);
}

// The wheel's walks are in the core's own time, so what the firmware sees does not
// depend on how fast this machine interprets it; settle() waits (real time only as a
// limit) until the core has run past the last step.
TEST_P(Fwquad, TheFirmwareCountsEveryEdgeBothWaysAndGoesOnFromWhatTheHostStored)
{
    ASSERT_EQ(hx_fwquad_init(), 0);
    firmware::walk(std::string(1000, '+'));  // A leading B
    ASSERT_TRUE(firmware::settle());
    EXPECT_EQ(hx_fwquad_read(), 1000);
    firmware::walk(std::string(1500, '-'));
    ASSERT_TRUE(firmware::settle());
    EXPECT_EQ(hx_fwquad_read(), -500);

    // Written at a standstill: the firmware's next edge goes on from the stored value,
    // through the 32-bit wrap both ways.
    for (int pos : {-1, 123456, INT32_MIN, INT32_MAX}) {
        ASSERT_EQ(hx_fwquad_write(pos), 0);
        EXPECT_EQ(hx_fwquad_read(), pos);
        EXPECT_EQ(word()[0], static_cast<uint32_t>(pos));
    }
    firmware::walk("+++");
    ASSERT_TRUE(firmware::settle());
    EXPECT_EQ(hx_fwquad_read(), INT32_MIN + 2);
    ASSERT_EQ(hx_fwquad_write(INT32_MIN + 1), 0);
    firmware::walk("--");
    ASSERT_TRUE(firmware::settle());
    EXPECT_EQ(hx_fwquad_read(), INT32_MAX);
    ASSERT_EQ(hx_fwquad_write(5000), 0);
    firmware::walk("-+--");
    ASSERT_TRUE(firmware::settle());
    EXPECT_EQ(hx_fwquad_read(), 4998);
    EXPECT_EQ(firmware::report("missed"), "0");
}

// Both inputs changing between two samples is a state skipped: the direction is
// unknown, so it is no move, and the firmware counts the miss in its own data RAM.
TEST_P(Fwquad, AStateSkippedIsNoMoveAndCountingGoesOnFromTheNewState)
{
    ASSERT_EQ(hx_fwquad_init(), 0);
    firmware::walk("++2++");
    ASSERT_TRUE(firmware::settle());
    EXPECT_EQ(hx_fwquad_read(), 4);
    firmware::walk("=-");
    ASSERT_TRUE(firmware::settle());
    EXPECT_EQ(hx_fwquad_read(), 3);
    EXPECT_EQ(firmware::report("missed"), "2");
    EXPECT_EQ(firmware::report("position"), "3");  // the wheel itself went 6 up, 3 down
}

// Thousands of random steps, at the spacing the firmware's longest path allows (15
// cycles from the sample that sees an edge to the next sample; 75 ns at 200 MHz), while
// the servo firmware on the other core sends pulses: every edge counted, and every word
// of the shared RAM but the count word left as the host wrote it.
TEST_P(Fwquad, ARandomWalkAtTheFirmwaresEdgeRateWhileTheServosRunIsCountedExactly)
{
    volatile uint32_t* ram = sandbox::pru_shared_ram();
    constexpr int words = 0x3000 / 4;
    for (int k = 0; k < words; ++k) ram[k] = 0xa5a50000u + static_cast<uint32_t>(k);
    ASSERT_EQ(hx_servo_init(), 0);
    ASSERT_EQ(hx_fwquad_init(), 0);
    // Core 1 runs the servo firmware throughout, pulsing all eight for 60 ms of its own
    // time from before the walk (the walk is 1.5 ms of core 0's).
    for (int k = 0; k < 3; ++k) ASSERT_EQ(hx_servo_send_pulse_us(0, 19999), 0);
    std::mt19937 random(20261209);  // fixed: the same walk every run
    std::string steps;
    long long expect = 0;
    for (int k = 0; k < 20000; ++k) {
        const bool up = random() % 2 == 0;
        steps += up ? '+' : '-';
        expect += up ? 1 : -1;
    }
    firmware::walk(steps, 15);
    ASSERT_TRUE(firmware::settle());
    EXPECT_EQ(hx_fwquad_read(), expect);
    EXPECT_EQ(firmware::report("missed"), "0");
    ASSERT_TRUE(firmware::servo_settle(3));
    for (int ch = 1; ch <= 8; ++ch) EXPECT_EQ(firmware::pulses(firmware::r30(), ch).size(), 3u);
    stderr_of(hx_servo_cleanup);
    for (int k = 0; k < words; ++k) {
        if (k == count_word) continue;
        ASSERT_EQ(ram[k], 0xa5a50000u + static_cast<uint32_t>(k)) << "word " << k;
    }
    // The clear at start and one store an edge.
    EXPECT_EQ(firmware::report("shared-stores"), std::to_string(1 + 20000));
}

// Each kernel generation's loader: vendor 4.x takes code only at IRAM 0 and wants a
// resource table; 5.10+ strips the GNU linker's IRAM offset and lets the table be
// missing. Nothing fits more code than IRAM holds, and a file that is no ELF image is
// refused by all. A refused start is remoteproc's EINVAL.
TEST_P(Fwquad, EachKernelsLoaderRefusesWhatItRefusesAndRunsTheRest)
{
    const bool legacy = GetParam().rfind("vendor-4", 0) == 0;
    // What the loader said (the report's words): refused when marked.
    const struct {
        const char* image;
        bool refused_by_4x;
        const char* said_by_4x;
        bool refused_by_later;
        const char* said_by_later;
    } cases[] = {
        {"at-0x20000000", true, "bad_phdr_da_0x20000000_mem_0x74", false, "-"},
        {"no-table", true, "Failed_to_find_resource_table", false, "no_resource_table_found_for_this_fw"},
        {"too-big", true, "bad_phdr_da_0x0_mem_0x2004", true, "bad_phdr_da_0x0_mem_0x2004"},
        {"garbage", true, "Image_is_corrupted_(bad_magic)", true, "Image_is_corrupted_(bad_magic)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        firmware::install("am335x-pru0-hx-encoder-fw", c.image);
        const bool refused = legacy ? c.refused_by_4x : c.refused_by_later;
        int rc = 0;
        const std::string err = stderr_of([&] { rc = hx_fwquad_init(); });
        EXPECT_EQ(firmware::report("loader"), legacy ? c.said_by_4x : c.said_by_later);
        if (refused) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(err, "ERROR in hx_pru_start, can't write " + state_path() + ": Invalid argument\n"
                           "ERROR in hx_fwquad_init, failed to start PRU0\n");
            EXPECT_EQ(firmware::state(), "offline");
        } else {
            EXPECT_EQ(rc, 0) << err;
            firmware::walk("+++");
            ASSERT_TRUE(firmware::settle());
            EXPECT_EQ(hx_fwquad_read(), 3);
        }
        stderr_of(hx_fwquad_cleanup);
    }
}

// The kernel's ENOENT for a missing image comes back from the state write; the message
// names the image and where the kernel looks, and the core keeps the image it had.
TEST_P(Fwquad, AMissingImageIsNamedAndARepeatedInitKeepsTheModuleRunning)
{
    const std::string firmware_attr = sandbox::find_device("/sys/class/remoteproc", "4a334000.pru") + "/firmware";
    const std::string missing = "ERROR in hx_pru_start, the kernel found no firmware am335x-pru0-hx-encoder-fw in " +
                                firmware::search_text() + "\n";
    ASSERT_EQ(hx_pru_start(0, "am335x-pru0-fw"), 0);
    ASSERT_EQ(hx_pru_stop(0), 0);
    firmware::install("am335x-pru0-hx-encoder-fw", "absent");
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_fwquad_init(), -1); }), missing + "ERROR in hx_fwquad_init, failed to start PRU0\n");
    EXPECT_EQ(sandbox::get(firmware_attr), "am335x-pru0-fw\n");
    EXPECT_EQ(firmware::state(), "offline");

    firmware::install("am335x-pru0-hx-encoder-fw", "encoder");
    ASSERT_EQ(hx_fwquad_init(), 0);
    ASSERT_EQ(hx_fwquad_write(7), 0);
    firmware::install("am335x-pru0-hx-encoder-fw", "absent");
    int rc = 0;
    EXPECT_EQ(stderr_of([&] { rc = hx_fwquad_init(); }), missing + "ERROR in hx_fwquad_init, failed to start PRU0\n");
    EXPECT_EQ(rc, -1);
    // Still running: reads answer, and the word holds the marker until the firmware writes.
    EXPECT_EQ(hx_fwquad_read(), 42);
}

TEST_P(Fwquad, AFailedFirstStartLeavesReadsRefusedAndCleanupZeroesTheWord)
{
    firmware::install("am335x-pru0-hx-encoder-fw", "garbage");
    const std::string err = stderr_of([] { EXPECT_EQ(hx_fwquad_init(), -1); });
    EXPECT_EQ(err, "ERROR in hx_pru_start, can't write " + state_path() + ": Invalid argument\n"
                   "ERROR in hx_fwquad_init, failed to start PRU0\n");
    EXPECT_EQ(word()[0], 42u);
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_fwquad_read(), -1); }),
              "ERROR in hx_fwquad_read, call hx_fwquad_init first\n");
    EXPECT_EQ(stderr_of(hx_fwquad_cleanup), "");  // the core is offline: nothing to stop
    EXPECT_EQ(word()[0], 0u);
}

TEST_P(Fwquad, CleanupAfterARunZeroesTheWordAndStopsCoreZero)
{
    ASSERT_EQ(hx_fwquad_init(), 0);
    ASSERT_EQ(hx_fwquad_write(99), 0);
    hx_fwquad_cleanup();
    EXPECT_EQ(firmware::state(), "offline");
    EXPECT_EQ(word()[0], 0u);
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_fwquad_write(1), -1); }),
              "ERROR in hx_fwquad_write, call hx_fwquad_init first\n");
}

TEST_P(Fwquad, ThePruServiceFindsEachCoreWhereverTheKernelNumberedIt)
{
    volatile uint32_t* a = hx_pru_shared_mem_ptr();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(hx_pru_shared_mem_ptr(), a);
    a[100] = 0xdeadbeef;  // the same RAM as the test's own view of /dev/mem
    EXPECT_EQ(sandbox::pru_shared_ram()[100], 0xdeadbeefu);

    ASSERT_EQ(hx_pru_start(1, "am335x-pru1-fw"), 0);
    EXPECT_EQ(firmware::state(1), "running");
    EXPECT_EQ(firmware::state(0), "offline");
    EXPECT_EQ(hx_pru_start(1, "am335x-pru1-fw"), 0);  // running: stopped, then started again
    EXPECT_EQ(firmware::starts_seen(1), 2);
    EXPECT_EQ(hx_pru_stop(1), 0);
    EXPECT_EQ(firmware::state(1), "offline");
    EXPECT_EQ(hx_pru_stop(1), 0);  // not running: nothing to stop
    EXPECT_EQ(firmware::stops_seen(1), 2);  // one for the restart, one for the stop

    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_pru_start(2, "x"), -1); }),
              "ERROR in hx_pru_start, PRU core must be 0 or 1, not 2\n");
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_pru_start(1, "../etc/passwd"), -1); }),
              "ERROR in hx_pru_start, firmware must be a file name in /lib/firmware\n");
}

// The module reads the word with no system call, so it cannot see a firmware that
// stopped counting or a core that crashed: reads go on answering the last count. The
// kernel keeps a crashed core from being given new firmware until it is recovered.
TEST_P(Fwquad, ACoreThatCrashesLeavesTheLastCountAndRefusesANewStart)
{
    ASSERT_EQ(hx_fwquad_init(), 0);
    firmware::walk(std::string(200, '+'));
    ASSERT_TRUE(firmware::settle());
    firmware::turn(100000);
    const int moving = hx_fwquad_read();
    EXPECT_GE(moving, 200);
    sandbox::steer("pru 0 crash");
    EXPECT_EQ(firmware::state(), "crashed");
    const int frozen = hx_fwquad_read();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(hx_fwquad_read(), frozen);
    EXPECT_GE(frozen, moving);

    EXPECT_EQ(stderr_of(hx_fwquad_cleanup), "");  // crashed is not running: no stop
    EXPECT_EQ(word()[0], 0u);
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_fwquad_init(), -1); }),
              "ERROR in hx_pru_start, can't write " +
                  sandbox::find_device("/sys/class/remoteproc", "4a334000.pru") +
                  "/firmware: Device or resource busy\n"
                  "ERROR in hx_fwquad_init, failed to start PRU0\n");
}

// A start of a running core: mainline 7.2 in the board VM took it as one more user (OK)
// that takes one more stop; vendor 4.x and 5.10+ refuse it (EBUSY, from their sources).
// The PRU service stops a running core before it starts one, so it works on both.
TEST_P(Fwquad, AStartOfARunningCoreIsRefusedOrCountedAsEachKernelDoes)
{
    const bool counts = GetParam() == "mainline-6.12";
    auto write_state = [](const char* what) {
        const int f = open(state_path().c_str(), O_WRONLY);
        const int rc = f >= 0 && write(f, what, std::strlen(what)) < 0 ? errno : 0;
        if (f >= 0) close(f);
        return rc;
    };
    ASSERT_EQ(write_state("start"), 0);
    EXPECT_EQ(write_state("start"), counts ? 0 : EBUSY);
    EXPECT_EQ(write_state("stop"), 0);
    EXPECT_EQ(firmware::state(), counts ? "running" : "offline");
    EXPECT_EQ(write_state("stop"), counts ? 0 : EINVAL);
    EXPECT_EQ(firmware::state(), "offline");
    EXPECT_EQ(write_state("stop"), EINVAL);
    // fwquad's stop and the PRU service's stop before its start end both users: the
    // encoder image runs.
    ASSERT_EQ(write_state("start"), 0);
    if (counts) {
        ASSERT_EQ(write_state("start"), 0);
    }
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_fwquad_init(), 0); }), "");
    EXPECT_EQ(firmware::report("firmware"), "am335x-pru0-hx-encoder-fw");
}

INSTANTIATE_ON_EVERY_KERNEL(Fwquad);

// A device tree without the PRU subsystem: its memory may be unclocked, where a store
// through /dev/mem would end the program with SIGBUS. Nothing is stored; a message says
// what is missing.
TEST(FwquadBareBoard, WithoutAPruCoreInitFailsBeforeTouchingTheSharedRam)
{
    REQUIRE_SIMULATED_KERNEL();
    sandbox::reset();
    sandbox::boot("bare");
    volatile uint32_t* word = sandbox::pru_shared_ram() + count_word;
    word[0] = 77;
    int rc = 0;
    EXPECT_EQ(stderr_of([&] { rc = hx_fwquad_init(); }),
              "ERROR in hx_pru_shared_mem_ptr, no PRU core 0 (4a334000.pru) in /sys/class/remoteproc: is the "
              "PRU node enabled in the device tree?\n"
              "ERROR in hx_fwquad_init, failed to map shared memory pointer\n");
    EXPECT_EQ(rc, -1);
    stderr_of(hx_fwquad_cleanup);
    EXPECT_EQ(word[0], 77u);
}

// Vendor 4.4 and 4.9 kernels name the cores' devices 4a334000.pru0 and 4a338000.pru1
// (and have no `name`): each core is found by its device link whatever order the cores
// registered in.
TEST(PruVendor4_9, TheCoresAreFoundByTheirDeviceNamesWhicheverRegisteredFirst)
{
    REQUIRE_SANDBOX();
    sandbox::reset();
    const char* const devices[] = {"44d00000.m3", "4a338000.pru1", "4a334000.pru0"};  // core 1 first
    for (int n = 0; n < 3; ++n) {
        const std::string dev = std::string("/sys/devices/platform/ocp/4a300000.pruss/") + devices[n];
        const std::string dir = dev + "/remoteproc/remoteproc" + std::to_string(n);
        sandbox::put(dir + "/state", "offline\n");
        sandbox::put(dir + "/firmware", "\n");
        ASSERT_EQ(symlink(dev.c_str(), (dir + "/device").c_str()), 0);
        sandbox::make_dir("/sys/class/remoteproc");
        ASSERT_EQ(symlink(dir.c_str(), ("/sys/class/remoteproc/remoteproc" + std::to_string(n)).c_str()), 0);
    }
    ASSERT_EQ(hx_pru_start(0, "core0-fw"), 0);
    ASSERT_EQ(hx_pru_start(1, "core1-fw"), 0);
    EXPECT_EQ(sandbox::get("/sys/class/remoteproc/remoteproc2/firmware"), "core0-fw");
    EXPECT_EQ(sandbox::get("/sys/class/remoteproc/remoteproc1/firmware"), "core1-fw");
    char where[128];
    EXPECT_EQ(hx_board_pru(1, where, sizeof where), 1);
    EXPECT_STREQ(where, "remoteproc1 (4a338000.pru1)");
}

// Boards whose remoteproc has neither `name` nor a `device` link keep the old order.
TEST(PruOldBoard, WithoutNamesTheCoresAreRemoteprocOneAndTwo)
{
    REQUIRE_SANDBOX();
    sandbox::reset();
    for (int n = 0; n < 3; ++n) {
        sandbox::put("/sys/class/remoteproc/remoteproc" + std::to_string(n) + "/state", "offline\n");
        sandbox::put("/sys/class/remoteproc/remoteproc" + std::to_string(n) + "/firmware", "\n");
    }
    ASSERT_EQ(hx_pru_start(1, "core1-fw"), 0);
    EXPECT_EQ(sandbox::get("/sys/class/remoteproc/remoteproc2/firmware"), "core1-fw");
    EXPECT_EQ(sandbox::get("/sys/class/remoteproc/remoteproc2/state"), "start");
    EXPECT_EQ(sandbox::get("/sys/class/remoteproc/remoteproc1/state"), "offline\n");
}

}  // namespace
