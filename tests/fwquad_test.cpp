// fwquad with the PRU service's real remoteproc and /dev/mem code, against the board
// sandbox and an emulated encoder firmware.
#include "support/board_sandbox.h"
#include "support/capture.h"
#include "support/encoder_firmware.h"

#include <hx/fwquad.h>
#include <hx/pru.h>
#include <hx/time.h>

#include <atomic>
#include <chrono>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <thread>

namespace {

std::atomic<bool> clear_inside_start{false};

template <typename F>
F* next(const char* name)
{
    return reinterpret_cast<F*>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// Interposed on the library's own services: count the handshake's sleeps, and play a
// firmware that clears the marker before its start call even returns.
extern "C" int hx_usleep(unsigned int us)
{
    ++firmware::sleeps_begun;
    return next<int(unsigned)>("hx_usleep")(us);
}

extern "C" int hx_pru_start(int core, const char* fw)
{
    const int rc = next<int(int, const char*)>("hx_pru_start")(core, fw);
    if (rc == 0 && clear_inside_start) sandbox::pru_shared_ram()[16] = 0;
    return rc;
}

namespace {

constexpr int count_word = 16;
const char* const never_loads =
    "ERROR in hx_fwquad_init, am335x-pru0-hx-encoder-fw failed to load\n"
    "attempting to stop PRU0\n";

class Fwquad : public testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        sandbox::reset();
        sandbox::add_remoteproc();
        sandbox::add_dev_mem();
        clear_inside_start = false;
    }
    void TearDown() override
    {
        firmware::stop();
        if (sandbox::entered()) stderr_of(hx_fwquad_cleanup);
    }
    static volatile uint32_t* word() { return sandbox::pru_shared_ram() + count_word; }

    // Wait (bounded) until the emulator has seen n stops of core 0.
    static bool core_stopped(int n)
    {
        for (int i = 0; i < 2000 && firmware::stops_seen() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return firmware::stops_seen() >= n;
    }
};

// First in the file: the service maps /dev/mem once per process, so this case needs a
// process that has not mapped it yet (ctest runs each test in its own).
TEST_F(Fwquad, MissingDevMemFailsInitAndCleanupOnlyStopsTheCore)
{
    sandbox::remove("/dev/mem");
    sandbox::put(sandbox::remoteproc_state(0), "running\n");
    int rc = 0;
    EXPECT_EQ(stderr_of([&] { rc = hx_fwquad_init(); }),
              "ERROR in hx_pru_shared_mem_ptr, can't open /dev/mem: No such file or directory\n"
              "ERROR in hx_fwquad_init, failed to map shared memory pointer\n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(sandbox::get(sandbox::remoteproc_firmware(0)), "");  // never started
    hx_fwquad_cleanup();
    EXPECT_EQ(sandbox::get(sandbox::remoteproc_state(0)), "stop");
}

TEST_F(Fwquad, BeforeInitReadsAndWritesAreRefusedAndCleanupOnlyStopsTheCore)
{
    word()[0] = 77;  // whatever the RAM holds is not the module's before init
    sandbox::put(sandbox::remoteproc_state(0), "running\n");
    int r = 0, w = 0;
    EXPECT_EQ(stderr_of([&] { r = hx_fwquad_read(); }),
              "ERROR in hx_fwquad_read, call hx_fwquad_init first\n");
    EXPECT_EQ(stderr_of([&] { w = hx_fwquad_write(3); }),
              "ERROR in hx_fwquad_write, call hx_fwquad_init first\n");
    EXPECT_EQ(r, -1);
    EXPECT_EQ(w, -1);
    hx_fwquad_cleanup();
    EXPECT_EQ(word()[0], 77u);
    EXPECT_EQ(sandbox::get(sandbox::remoteproc_state(0)), "stop");
}

TEST_F(Fwquad, FirmwareThatClearsAtOnceNeedsNoSleep)
{
    clear_inside_start = true;
    firmware::start({firmware::clears::never});
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_fwquad_init(), 0); }), "");
    EXPECT_EQ(firmware::sleeps_begun, 0);
    EXPECT_EQ(sandbox::get(sandbox::remoteproc_firmware(0)), "am335x-pru0-hx-encoder-fw");
    EXPECT_EQ(hx_fwquad_read(), 0);
}

TEST_F(Fwquad, FirmwareThatClearsLateIsWaitedForOneSleepPerLook)
{
    sandbox::put(sandbox::remoteproc_state(0), "running\n");  // an older image still runs
    firmware::start({firmware::clears::after_sleeps, 3});
    ASSERT_EQ(hx_fwquad_init(), 0);
    EXPECT_EQ(firmware::sleeps_begun, 3);
    EXPECT_EQ(firmware::starts_seen(), 1);
    EXPECT_EQ(hx_fwquad_read(), 0);
}

TEST_F(Fwquad, FirmwareThatNeverClearsTimesOutStopsTheCoreAndRefusesReads)
{
    firmware::start({firmware::clears::never});
    int rc = 0;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(stderr_of([&] { rc = hx_fwquad_init(); }), never_loads);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(firmware::sleeps_begun, 40);
    EXPECT_GE(took, std::chrono::milliseconds(4000));
    EXPECT_TRUE(core_stopped(1));
    EXPECT_EQ(word()[0], 42u);  // the marker stays until cleanup
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_fwquad_read(), -1); }),
              "ERROR in hx_fwquad_read, call hx_fwquad_init first\n");

    hx_fwquad_cleanup();
    EXPECT_EQ(word()[0], 0u);
}

TEST_F(Fwquad, ABoardWithAnotherImageNeverHandsShake)
{
    firmware::start({firmware::clears::at_start, 0, 1, "some-other-firmware"});
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_fwquad_init(), -1); }), never_loads);
    EXPECT_EQ(firmware::starts_seen(), 0);
    EXPECT_TRUE(core_stopped(1));
}

TEST_F(Fwquad, WrittenPositionsReadBackAndTheFirmwareCountsOnFromThem)
{
    firmware::start({firmware::clears::at_start});
    ASSERT_EQ(hx_fwquad_init(), 0);
    for (int pos : {-1, 123456, INT32_MIN, INT32_MAX}) {
        ASSERT_EQ(hx_fwquad_write(pos), 0);
        EXPECT_EQ(hx_fwquad_read(), pos);
        EXPECT_EQ(word()[0], static_cast<uint32_t>(pos));
    }
    ASSERT_EQ(hx_fwquad_write(-1000), 0);
    firmware::set_step(-1);  // the encoder turns backwards
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int later = hx_fwquad_read();
    EXPECT_LT(later, -1000);
    EXPECT_GT(later, -1000 - 5000);
}

TEST_F(Fwquad, FailedStartOfARepeatedInitKeepsTheModuleRunning)
{
    firmware::start({firmware::clears::at_start});
    ASSERT_EQ(hx_fwquad_init(), 0);
    ASSERT_EQ(hx_fwquad_write(7), 0);
    firmware::stop();

    // The kernel now refuses the start: its attribute is read-only.
    sandbox::bind(sandbox::remoteproc_state(0), sandbox::remoteproc_state(0), true);
    int rc = 0;
    const std::string err = stderr_of([&] { rc = hx_fwquad_init(); });
    EXPECT_EQ(rc, -1);
    EXPECT_NE(err.find("ERROR in hx_pru_start, can't write /sys/class/remoteproc/remoteproc1/state"),
              std::string::npos) << err;
    EXPECT_NE(err.find("ERROR in hx_fwquad_init, failed to start PRU0\n"), std::string::npos) << err;
    // Still running: reads answer, and the word holds the marker until the firmware writes.
    EXPECT_EQ(hx_fwquad_read(), 42);
}

TEST_F(Fwquad, FailedStartOfAFirstInitLeavesReadsRefusedAndCleanupZeroesTheWord)
{
    sandbox::bind(sandbox::remoteproc_state(0), sandbox::remoteproc_state(0), true);
    const std::string err = stderr_of([] { EXPECT_EQ(hx_fwquad_init(), -1); });
    EXPECT_NE(err.find("ERROR in hx_fwquad_init, failed to start PRU0\n"), std::string::npos) << err;
    EXPECT_EQ(word()[0], 42u);
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_fwquad_read(), -1); }),
              "ERROR in hx_fwquad_read, call hx_fwquad_init first\n");
    EXPECT_EQ(stderr_of(hx_fwquad_cleanup), "");  // the core is offline: nothing to stop
    EXPECT_EQ(word()[0], 0u);
}

TEST_F(Fwquad, CleanupAfterARunZeroesTheWordAndStopsCoreZero)
{
    firmware::start({firmware::clears::at_start});
    ASSERT_EQ(hx_fwquad_init(), 0);
    ASSERT_EQ(hx_fwquad_write(99), 0);
    hx_fwquad_cleanup();
    EXPECT_TRUE(core_stopped(1));
    EXPECT_EQ(word()[0], 0u);
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_fwquad_write(1), -1); }),
              "ERROR in hx_fwquad_write, call hx_fwquad_init first\n");
}

TEST_F(Fwquad, SharedMemoryIsMappedOnceAndOnlyPruCoresAreControlled)
{
    volatile uint32_t* a = hx_pru_shared_mem_ptr();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(hx_pru_shared_mem_ptr(), a);
    a[100] = 0xdeadbeef;  // the same RAM as the test's own view of /dev/mem
    EXPECT_EQ(sandbox::pru_shared_ram()[100], 0xdeadbeefu);
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_pru_start(2, "x"), -1); }),
              "ERROR in hx_pru_start, PRU core must be 0 or 1, not 2\n");
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_pru_start(1, "../etc/passwd"), -1); }),
              "ERROR in hx_pru_start, firmware must be a file name in /lib/firmware\n");
    EXPECT_EQ(hx_pru_start(1, "core1-fw"), 0);
    EXPECT_EQ(sandbox::get(sandbox::remoteproc_firmware(1)), "core1-fw");
    EXPECT_EQ(sandbox::get(sandbox::remoteproc_state(1)), "start");
    EXPECT_EQ(hx_pru_stop(1), 0);  // not "running" yet: nothing to stop
    EXPECT_EQ(sandbox::get(sandbox::remoteproc_state(1)), "start");
}

}  // namespace
