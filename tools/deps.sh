# Sourced by tools/demo and tools/check: install the Debian packages a step needs,
# when they are missing. Packages come from the machine's own apt sources.

# The PC build: compiler, CMake + Ninja, GoogleTest (also its sources, for the board
# build), Google Benchmark, OpenBLAS (benchmark reference only), pkg-config, and FUSE 3
# for the simulated kernel; dtc for the board's device tree additions and libfdt to check the
# trees they are merged into.
HX_HOST_PACKAGES="g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev googletest libbenchmark-dev libopenblas-dev libfuse3-dev fuse3 device-tree-compiler libfdt-dev"
# The Python package's tests: Debian's python3 with pytest, numpy (the buffers it has),
# pip and setuptools (an install from the tree).
HX_PYTHON_PACKAGES="python3 python3-pytest python3-numpy python3-pip python3-setuptools"
# The fuzz targets: clang with libFuzzer.
HX_FUZZ_PACKAGES="clang libclang-rt-14-dev"
# The board build and its tests: Debian's ARM hard-float cross compiler and qemu-arm.
HX_BOARD_PACKAGES="g++-arm-linux-gnueabihf qemu-user"
# The Debian packages: dpkg-shlibdeps and lintian.
HX_PACKAGE_PACKAGES="dpkg-dev lintian"
# The real-kernel VMs: qemu for both machines, cpio for the initramfs, kmod's modinfo to
# follow module dependencies, dtc for the board VM's device tree, make for the drivers
# built for its kernel.
HX_VM_PACKAGES="qemu-system-arm qemu-system-x86 cpio kmod device-tree-compiler make"

hx_need() {
  missing=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
  done
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing Debian packages:$missing; run this as root (sudo) to install them" >&2
    exit 1
  fi
  echo "installing:$missing"
  apt-get update -q >/dev/null
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing >/dev/null
}

# The PC build of tools/check and tools/demo (build/host): optimised as the README's and
# the packages' builds are (-O3, where g++ warns of things -O2 does not), with debug
# information for valgrind's reports.
HX_PC_BUILD="-DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g"

# Configure a build directory: with Ninja when it is new, with its own generator when a
# person has configured it before (the README's commands leave CMake's default, and
# CMake refuses another generator for a directory it has configured).
hx_configure() { # DIR, cmake options...
  dir=$1; shift
  if [ -f "$dir/CMakeCache.txt" ]; then
    # Its cache keeps its toolchain: named again, CMake would warn that it went unused.
    cmake --no-warn-unused-cli -B "$dir" "$@" >/dev/null
  else
    cmake -B "$dir" -G Ninja "$@" >/dev/null
  fi
}
