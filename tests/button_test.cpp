// The button service: its event handling fed with GPIO edge records (uAPI v2 and v1)
// through pipes in place of line descriptors (this machine has no GPIO chip), and its
// bank lookup on the simulated kernel of every kernel generation.
#include "support/capture.h"
#include "support/fd_count.h"
#include "support/kernels.h"

#include "../library/src/io/button_events.h"
#include <hx/button.h>

#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <linux/gpio.h>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using hx::button_events::records;

std::mutex m;
std::condition_variable cv;
std::vector<std::string> seen;

void note(const char* what)
{
    std::lock_guard<std::mutex> g(m);
    seen.emplace_back(what);
    cv.notify_all();
}
void pause_press() { note("pause press"); }
void pause_release() { note("pause release"); }
void mode_press() { note("mode press"); }
void mode_release() { note("mode release"); }
void slow_press()
{
    std::this_thread::sleep_for(100ms);
    note("slow press done");
}

// Waits (bounded) for n notes and returns them.
std::vector<std::string> wait_for(size_t n)
{
    std::unique_lock<std::mutex> g(m);
    cv.wait_for(g, 2s, [n] { return seen.size() >= n; });
    return seen;
}

class Button : public testing::Test {
protected:
    void SetUp() override
    {
        seen.clear();
        before = open_descriptors();
    }
    void TearDown() override { hx_button_cleanup(); }

    // A pipe in place of a line request; returns the write end (the line's edge source).
    static int line(int chip, int pin, int polarity, records format = records::v2, int debounce_us = 0)
    {
        int p[2];
        EXPECT_EQ(pipe(p), 0);
        EXPECT_EQ(hx::button_events::attach("test", chip, pin, polarity, p[0], format, debounce_us), 0);
        return p[1];
    }
    static void edge(int fd, uint32_t id)
    {
        gpio_v2_line_event ev{};
        ev.id = id;
        ASSERT_EQ(write(fd, &ev, sizeof ev), static_cast<ssize_t>(sizeof ev));
    }
    // A v1 record, as kernels before 5.10 hand out.
    static void edge_v1(int fd, uint32_t id)
    {
        gpioevent_data ev{};
        ev.id = id;
        ASSERT_EQ(write(fd, &ev, sizeof ev), static_cast<ssize_t>(sizeof ev));
    }
    int before = 0;
};

constexpr uint32_t falling = GPIO_V2_LINE_EVENT_FALLING_EDGE;
constexpr uint32_t rising = GPIO_V2_LINE_EVENT_RISING_EDGE;

TEST_F(Button, EdgesBecomePressesAndReleasesOfTheRightButton)
{
    const int pause = line(2, 5, HX_BUTTON_PRESSED_LOW);  // pull-up: pressing pulls low
    const int mode = line(2, 4, HX_BUTTON_PRESSED_HIGH);
    ASSERT_EQ(hx_button_set_callbacks(2, 5, pause_press, pause_release), 0);
    ASSERT_EQ(hx_button_set_callbacks(2, 4, mode_press, mode_release), 0);

    edge(pause, falling);
    wait_for(1);
    edge(mode, rising);
    wait_for(2);
    edge(pause, rising);
    wait_for(3);
    edge(mode, falling);
    EXPECT_EQ(wait_for(4),
              (std::vector<std::string>{"pause press", "mode press", "pause release", "mode release"}));
    close(pause);
    close(mode);
}

// The kernel's debounce reports the level each time it settles, which may be the level
// already reported (a bounce that came back): that is no second press or release.
TEST_F(Button, ALevelReportedAgainIsNoSecondPressOrRelease)
{
    const int pause = line(2, 5, HX_BUTTON_PRESSED_LOW);
    ASSERT_EQ(hx_button_set_callbacks(2, 5, pause_press, pause_release), 0);
    for (uint32_t id : {falling, falling, rising, rising, rising, falling, rising}) edge(pause, id);
    EXPECT_EQ(wait_for(4),
              (std::vector<std::string>{"pause press", "pause release", "pause press", "pause release"}));
    close(pause);
}

TEST_F(Button, CallbacksCanBeLeftOutOrReplaced)
{
    const int pause = line(2, 5, HX_BUTTON_PRESSED_LOW);
    edge(pause, falling);  // nothing registered yet: ignored
    ASSERT_EQ(hx_button_set_callbacks(2, 5, nullptr, pause_release), 0);
    edge(pause, falling);  // no press callback: ignored
    edge(pause, rising);
    EXPECT_EQ(wait_for(1), std::vector<std::string>{"pause release"});
    ASSERT_EQ(hx_button_set_callbacks(2, 5, mode_press, nullptr), 0);
    edge(pause, falling);
    EXPECT_EQ(wait_for(2), (std::vector<std::string>{"pause release", "mode press"}));
    close(pause);
}

TEST_F(Button, UnknownDuplicateAndSurplusButtonsAreRefused)
{
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_button_set_callbacks(2, 5, pause_press, nullptr), -1); }),
              "ERROR in hx_button_set_callbacks, button 2,5 is not set up, call hx_button_init first\n");
    const int pause = line(2, 5, HX_BUTTON_PRESSED_LOW);
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_button_init(2, 5, 1, 2000), -1); }),
              "ERROR in hx_button_init, button 2,5 is already set up\n");
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_button_init(2, 6, 3, 2000), -1); }),
              "ERROR in hx_button_init, chip, pin and debounce must be >= 0 and polarity 0 or 1\n");

    std::vector<int> writers{pause};
    for (int pin = 10; pin < 10 + HX_BUTTON_MAX - 1; ++pin) writers.push_back(line(3, pin, 1));
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(stderr_of([&] { EXPECT_EQ(hx::button_events::attach("hx_button_init", 4, 0, 1, p[0], records::v2, 0), -1); }),
              "ERROR in hx_button_init, at most 8 buttons\n");
    close(p[1]);
    for (int w : writers) close(w);
    hx_button_cleanup();
    EXPECT_EQ(open_descriptors(), before);  // the refused descriptor was closed too
}

TEST_F(Button, CleanupWaitsForARunningCallbackReleasesEverythingAndMayRepeat)
{
    const int pause = line(2, 5, HX_BUTTON_PRESSED_LOW);
    ASSERT_EQ(hx_button_set_callbacks(2, 5, slow_press, nullptr), 0);
    edge(pause, falling);
    std::this_thread::sleep_for(20ms);  // the callback is now running
    EXPECT_EQ(hx_button_cleanup(), 0);
    {
        std::lock_guard<std::mutex> g(m);
        EXPECT_EQ(seen, std::vector<std::string>{"slow press done"});
    }
    close(pause);
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(hx_button_cleanup(), 0);
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_button_set_callbacks(2, 5, pause_press, nullptr), -1); }),
              "ERROR in hx_button_set_callbacks, button 2,5 is not set up, call hx_button_init first\n");

    // The service starts again after a cleanup.
    const int again = line(2, 5, HX_BUTTON_PRESSED_LOW);
    ASSERT_EQ(hx_button_set_callbacks(2, 5, pause_press, nullptr), 0);
    edge(again, falling);
    EXPECT_EQ(wait_for(2), (std::vector<std::string>{"slow press done", "pause press"}));
    close(again);
}

TEST_F(Button, OldKernelsV1RecordsWithTheServicesOwnDebounce)
{
    // 30 ms debounce: a change counts once it has lasted that long.
    const int pause = line(2, 5, HX_BUTTON_PRESSED_LOW, records::v1, 30000);
    const int mode = line(2, 4, HX_BUTTON_PRESSED_LOW, records::v1, 0);
    ASSERT_EQ(hx_button_set_callbacks(2, 5, pause_press, pause_release), 0);
    ASSERT_EQ(hx_button_set_callbacks(2, 4, mode_press, mode_release), 0);

    edge_v1(mode, falling);  // no debounce: at once
    EXPECT_EQ(wait_for(1), std::vector<std::string>{"mode press"});

    // A bounce: down and up again within 5 ms, then a second bounce: nothing.
    edge_v1(pause, falling);
    std::this_thread::sleep_for(5ms);
    edge_v1(pause, rising);
    edge_v1(pause, falling);
    edge_v1(pause, rising);
    std::this_thread::sleep_for(100ms);
    {
        std::lock_guard<std::mutex> g(m);
        EXPECT_EQ(seen, std::vector<std::string>{"mode press"});
    }
    // A press that lasts, with chatter at its start, counts once; so does its release.
    const auto t0 = std::chrono::steady_clock::now();
    edge_v1(pause, falling);
    edge_v1(pause, rising);
    edge_v1(pause, falling);
    EXPECT_EQ(wait_for(2), (std::vector<std::string>{"mode press", "pause press"}));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 30ms);
    edge_v1(pause, rising);
    EXPECT_EQ(wait_for(3), (std::vector<std::string>{"mode press", "pause press", "pause release"}));
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(wait_for(3).size(), 3u);
    close(pause);
    close(mode);
}

// The bank's character device is found by the bank's address whatever the kernel
// numbered it; this machine has no such device, so the open names the one chosen.
class ButtonBank : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        REQUIRE_SIMULATED_KERNEL();
        sandbox::reset();
        sandbox::boot(GetParam());
    }
};

TEST_P(ButtonBank, BankTwoIsFoundByItsAddress)
{
    const std::string expected = GetParam() == "mainline-6.12" ? "/dev/gpiochip1" : "/dev/gpiochip2";
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_button_init(2, 5, 1, 2000), -1); }),
              "ERROR in hx_button_init, can't open " + expected + ": No such file or directory\n");
    sandbox::steer("remove /sys/bus/gpio/devices/gpiochip" + expected.substr(expected.size() - 1));
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_button_init(2, 5, 1, 2000), -1); }),
              "ERROR in hx_button_init, GPIO bank 2 is not in /sys/bus/gpio/devices\n");
}

INSTANTIATE_ON_EVERY_KERNEL(ButtonBank);

TEST(ButtonNoBoard, WithoutTheBoardsBanksTheChipNumberIsTheDevice)
{
    REQUIRE_SIMULATED_KERNEL();
    sandbox::reset();
    sandbox::boot("bare");
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(hx_button_init(77, 6, 1, 2000), -1); }),
              "ERROR in hx_button_init, can't open /dev/gpiochip77: No such file or directory\n");
}

TEST_F(Button, AWatcherThatFailsSaysSoAndTheNextInitBringsItBack)
{
    const int pause = line(2, 5, HX_BUTTON_PRESSED_LOW);
    ASSERT_EQ(hx_button_set_callbacks(2, 5, pause_press, pause_release), 0);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    // poll refuses more descriptors than the process may hold: with the limit at 1, the
    // watcher's next poll (woken by a new button) fails.
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    rlimit one = old;
    one.rlim_cur = 1;
    const std::string err = stderr_of([&] {
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &one), 0);
        EXPECT_EQ(hx::button_events::attach("test", 2, 4, 1, p[0], records::v2, 0), 0);
        std::this_thread::sleep_for(100ms);
        setrlimit(RLIMIT_NOFILE, &old);
    });
    // Once, or twice where the first watcher reached its first poll only after the limit
    // fell (it then failed, and the attach started a second one, which failed too).
    const std::string said = "ERROR in the button watcher, poll: Invalid argument; presses are not seen until the "
                             "next hx_button_init or hx_button_cleanup\n";
    EXPECT_TRUE(err == said || err == said + said) << err;
    edge(pause, falling);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(wait_for(0), std::vector<std::string>{});

    // The next button set up starts a new watcher: the waiting press arrives.
    const int mode = line(3, 1, HX_BUTTON_PRESSED_LOW);
    EXPECT_EQ(wait_for(1), std::vector<std::string>{"pause press"});
    edge(pause, rising);
    EXPECT_EQ(wait_for(2), (std::vector<std::string>{"pause press", "pause release"}));
    close(pause);
    close(mode);
    close(p[1]);
}

}  // namespace
