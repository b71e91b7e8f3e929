// What the sandbox's files share: failing loudly, and the parts that reset() throws
// away (the simulated kernel, the serial lines, the view of the PRU RAM).
#ifndef HX_SIM_INTERNAL_H
#define HX_SIM_INTERNAL_H

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace sandbox::internal {

[[noreturn]] void die(const char* what, const std::string& path);
void check(int rc, const char* what, const std::string& path);
bool inside();

constexpr off_t pru_ram_phys = 0x4A310000;
constexpr std::size_t pru_ram_size = 0x3000;
constexpr off_t pru_data_phys = 0x4A300000;  // core 0's data RAM; core 1's follows
constexpr std::size_t pru_data_size = 0x2000;

void stop_kernel();    // kernel.cpp
void stop_serial();    // serial.cpp
void forget_ram();     // files.cpp: drop the test's view of the PRU RAM

}  // namespace sandbox::internal

#endif
