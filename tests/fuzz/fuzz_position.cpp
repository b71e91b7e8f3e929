// hwquad's reading of a position: any bytes in the eQEP driver's position attribute
// (signed) and in a counter device's count (unsigned, shown signed) read as the C
// library's strtoll/strtoull would read the first 12 of them.
#include <hx/hwquad.h>
#include <sim/sandbox.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

constexpr const char* counter_count = "/sys/bus/counter/devices/counter0/count0/count";
int legacy_fd = -1, counter_fd = -1;

void put(int fd, const uint8_t* data, size_t size)
{
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string why;
    if (!sandbox::enter(&why)) {
        std::fprintf(stderr, "fuzz_position needs a mount namespace: %s\n", why.c_str());
        std::exit(1);
    }
    sandbox::add_eqep();
    sandbox::eqep_as_counter(2);  // unit 2 as newer kernels offer it
    if (hx_hwquad_init() != 0) std::abort();
    legacy_fd = open(sandbox::eqep_position(1).c_str(), O_RDWR);
    counter_fd = open(counter_count, O_RDWR);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 64) return 0;
    put(legacy_fd, data, size);
    put(counter_fd, data, size);
    // What a read of at most 12 bytes brings, as a C string.
    const std::string text(reinterpret_cast<const char*>(data), size < 12 ? size : 12);
    const long long s = std::strtoll(text.c_str(), nullptr, 10);
    const int32_t signed_ref = s > INT32_MAX ? INT32_MAX : s < INT32_MIN ? INT32_MIN : static_cast<int32_t>(s);
    const auto unsigned_ref = static_cast<int32_t>(static_cast<uint32_t>(std::strtoull(text.c_str(), nullptr, 10)));
    const int legacy = hx_hwquad_read(1), counter = hx_hwquad_read(2);
    if (legacy != signed_ref || counter != unsigned_ref) {
        std::fprintf(stderr, "read %d and %d, expected %d and %d\n", legacy, counter, signed_ref, unsigned_ref);
        std::abort();
    }
    return 0;
}
