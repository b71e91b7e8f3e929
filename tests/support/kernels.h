// Parameterised suites that run once on every kernel generation of the simulated
// kernel, named after it (vendor_4_19, vendor_6_1, mainline_6_12).
#ifndef HX_TEST_KERNELS_H
#define HX_TEST_KERNELS_H

#include "require_sandbox.h"

#include <sim/sandbox.h>

#include <cctype>
#include <gtest/gtest.h>
#include <string>

inline std::string kernel_test_name(const testing::TestParamInfo<std::string>& info)
{
    std::string n = info.param;
    for (char& c : n) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return n;
}

#define INSTANTIATE_ON_EVERY_KERNEL(suite) \
    INSTANTIATE_TEST_SUITE_P(EveryKernel, suite, testing::ValuesIn(sandbox::profiles()), kernel_test_name)

#endif
