// The library's version, as CMake's project version gives it to the build.
#include "hx/version.h"

extern "C" const char* hx_version(void) { return HX_LIBRARY_VERSION; }
