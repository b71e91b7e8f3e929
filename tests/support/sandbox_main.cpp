// main() for test programs that use the board sandbox: enter it while the process has
// a single thread, then run the tests.
#include <sim/sandbox.h>

#include <cstdio>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    std::string why;
    if (!sandbox::enter(&why)) std::fprintf(stderr, "board sandbox unavailable (%s): tests skip\n", why.c_str());
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
