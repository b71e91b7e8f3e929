// Encoder channel 4: a count word kept by PRU firmware in the shared RAM.
#include "hx/fwquad.h"

#include "hx/pru.h"
#include "hx/time.h"

#include <cstdint>
#include <cstdio>

namespace {

constexpr const char* fw_name = "am335x-pru0-hx-encoder-fw";
constexpr int core = 0;
constexpr int count_word = 16;            // byte offset 64
constexpr uint32_t start_marker = 42;     // the firmware clears it to 0 once it runs
constexpr int handshake_looks = 40;
constexpr unsigned handshake_sleep_us = 100000;

// volatile: the firmware changes the word underneath; every access is one 32-bit
// load or store.
volatile uint32_t* shared_mem_32bit_ptr = nullptr;
int init_flag = 0;

}  // namespace

extern "C" {

int hx_fwquad_init(void)
{
    shared_mem_32bit_ptr = hx_pru_shared_mem_ptr();
    if (shared_mem_32bit_ptr == nullptr) {
        std::fputs("ERROR in hx_fwquad_init, failed to map shared memory pointer\n", stderr);
        init_flag = 0;
        return -1;
    }
    // An image still running could overwrite the marker before the start stops it:
    // stop the core first, then write the marker, then start.
    hx_pru_stop(core);
    shared_mem_32bit_ptr[count_word] = start_marker;
    if (hx_pru_start(core, fw_name) != 0) {
        std::fprintf(stderr, "ERROR in hx_fwquad_init, failed to start PRU%d\n", core);
        return -1;
    }
    for (int look = 0; look < handshake_looks; ++look) {
        if (shared_mem_32bit_ptr[count_word] == 0) {
            init_flag = 1;
            return 0;
        }
        hx_usleep(handshake_sleep_us);
    }
    std::fprintf(stderr, "ERROR in hx_fwquad_init, %s failed to load\n", fw_name);
    std::fprintf(stderr, "attempting to stop PRU%d\n", core);
    hx_pru_stop(core);
    init_flag = 0;
    return -1;
}

int hx_fwquad_read(void)
{
    if (shared_mem_32bit_ptr == nullptr || init_flag == 0) {
        std::fputs("ERROR in hx_fwquad_read, call hx_fwquad_init first\n", stderr);
        return -1;
    }
    return static_cast<int32_t>(shared_mem_32bit_ptr[count_word]);
}

int hx_fwquad_write(int pos)
{
    if (shared_mem_32bit_ptr == nullptr || init_flag == 0) {
        std::fputs("ERROR in hx_fwquad_write, call hx_fwquad_init first\n", stderr);
        return -1;
    }
    shared_mem_32bit_ptr[count_word] = static_cast<uint32_t>(pos);
    return 0;
}

void hx_fwquad_cleanup(void)
{
    if (shared_mem_32bit_ptr != nullptr) shared_mem_32bit_ptr[count_word] = 0;
    hx_pru_stop(core);
    shared_mem_32bit_ptr = nullptr;
    init_flag = 0;
}

}  // extern "C"
