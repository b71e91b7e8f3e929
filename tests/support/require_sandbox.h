// Skips the calling test when the board sandbox could not be entered (no mount
// namespace to be had here).
#ifndef HX_TEST_REQUIRE_SANDBOX_H
#define HX_TEST_REQUIRE_SANDBOX_H

#include <gtest/gtest.h>
#include <sim/sandbox.h>

#include <string>

#define REQUIRE_SANDBOX()                                                         \
    do {                                                                          \
        if (!sandbox::entered()) GTEST_SKIP() << "no mount namespace available"; \
    } while (0)

// The same, for tests that boot the simulated kernel: the board build's tests start the
// PC build's, which a board build configured on its own may not have found.
#define REQUIRE_SIMULATED_KERNEL()                                        \
    do {                                                                  \
        REQUIRE_SANDBOX();                                                \
        std::string why_not_;                                             \
        if (!sandbox::simulated_kernel(&why_not_)) GTEST_SKIP() << why_not_; \
    } while (0)

#endif
