// How many descriptors the test process holds, to prove that nothing leaks.
#ifndef HX_TEST_FD_COUNT_H
#define HX_TEST_FD_COUNT_H

#include <dirent.h>

inline int open_descriptors()
{
    DIR* d = opendir("/proc/self/fd");
    int n = 0;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n - 3;  // ".", ".." and the directory's own descriptor
}

#endif
