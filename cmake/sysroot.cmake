# Building against a sysroot (tools/sysroot.sh: Debian 11's C library), so that the
# binaries run on every Debian release from 11 on: HALVEX_SYSROOT names it, and
# HALVEX_TARGET=armhf selects the board's cross compiler. Read from the environment so
# that CMake's own test compilations see them too.
set(sysroot $ENV{HALVEX_SYSROOT})
set(CMAKE_SYSROOT ${sysroot})
if("$ENV{HALVEX_TARGET}" STREQUAL "armhf")
  include(${CMAKE_CURRENT_LIST_DIR}/arm-linux-gnueabihf.cmake)
  set(CMAKE_FIND_ROOT_PATH ${sysroot})
  set(triplet arm-linux-gnueabihf)
  # Debian's cross compiler searches its own target directory (/usr/arm-linux-gnueabihf,
  # bookworm's C library) before any sysroot: its search list again, with the sysroot's
  # C headers in place of that directory's.
  set(cxx /usr/arm-linux-gnueabihf/include/c++/12)
  set(c_dirs "-isystem /usr/lib/gcc-cross/${triplet}/12/include -isystem ${sysroot}/usr/include/${triplet} -isystem ${sysroot}/usr/include")
  string(APPEND CMAKE_C_FLAGS_INIT " -nostdinc ${c_dirs}")
  string(APPEND CMAKE_CXX_FLAGS_INIT " -nostdinc -isystem ${cxx} -isystem ${cxx}/${triplet} -isystem ${cxx}/backward ${c_dirs}")
else()
  set(triplet x86_64-linux-gnu)
endif()
# The compiler's own library directories come before the sysroot's: name these first
# (and the start files).
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-B${sysroot}/usr/lib/${triplet}/ -L${sysroot}/lib/${triplet} -L${sysroot}/usr/lib/${triplet}")
endforeach()
