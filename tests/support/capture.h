// What a call prints on standard error. A pipe, not a file, catches it, so that file
// size limits set by a test do not swallow the report.
#ifndef HX_TEST_CAPTURE_H
#define HX_TEST_CAPTURE_H

#include <cstdio>
#include <string>
#include <unistd.h>

template <typename F>
std::string stderr_of(F f)
{
    std::fflush(stderr);
    int p[2];
    if (pipe(p) != 0) return "<pipe failed>";
    const int saved = dup(2);
    dup2(p[1], 2);
    close(p[1]);
    f();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(p[0]);
    return out;
}

#endif
