// Skips the calling test when the board sandbox could not be entered (no mount
// namespace to be had here).
#ifndef HX_TEST_REQUIRE_SANDBOX_H
#define HX_TEST_REQUIRE_SANDBOX_H

#include <gtest/gtest.h>
#include <sim/sandbox.h>

#define REQUIRE_SANDBOX()                                                         \
    do {                                                                          \
        if (!sandbox::entered()) GTEST_SKIP() << "no mount namespace available"; \
    } while (0)

#endif
