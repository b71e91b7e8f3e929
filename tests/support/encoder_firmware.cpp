#include "encoder_firmware.h"

#include "board_sandbox.h"

#include <chrono>
#include <cstdint>
#include <thread>

namespace firmware {

std::atomic<int> sleeps_begun{0};

namespace {

constexpr int count_word = 16;
std::thread runner;
std::atomic<bool> quit{false};
std::atomic<int> step_now{0};
std::atomic<int> starts{0};
std::atomic<int> stops{0};

std::string trimmed(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == '\0')) s.pop_back();
    return s;
}

void run(behaviour b)
{
    volatile uint32_t* ram = sandbox::pru_shared_ram();
    const std::string state = sandbox::remoteproc_state(0);
    bool running = false;
    bool cleared = false;
    while (!quit) {
        const std::string s = trimmed(sandbox::get(state));
        if (s == "start") {
            sandbox::put(state, "running\n");
            running = trimmed(sandbox::get(sandbox::remoteproc_firmware(0))) == b.image;
            cleared = false;
            if (running) ++starts;
        } else if (s == "stop") {
            sandbox::put(state, "offline\n");
            running = false;
            ++stops;
        }
        if (running && !cleared) {
            const bool now = b.mode == clears::at_start ||
                             (b.mode == clears::after_sleeps && sleeps_begun >= b.sleeps);
            if (now) {
                ram[count_word] = 0;
                cleared = true;
            }
        } else if (running && step_now != 0) {
            ram[count_word] = ram[count_word] + static_cast<uint32_t>(step_now.load());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

void start(const behaviour& b)
{
    quit = false;
    step_now = b.step;
    starts = 0;
    stops = 0;
    sleeps_begun = 0;
    sandbox::pru_shared_ram();  // map before the thread: mapping is not thread-safe here
    runner = std::thread(run, b);
}

void set_step(int step) { step_now = step; }
int starts_seen() { return starts; }
int stops_seen() { return stops; }

void stop()
{
    quit = true;
    if (runner.joinable()) runner.join();
}

}  // namespace firmware
