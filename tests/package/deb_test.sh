#!/bin/sh
# The Debian packages, built by tools/package for amd64 and armhf: exactly the files
# each should hold (no tests, no benchmarks, no build paths), the control fields that
# dependents rely on, and lintian without errors.
set -eu
src=$(cd "$1" && pwd)
cd "$src"
tools/package amd64 armhf >/dev/null
out=build/packages
version=$(sed -n 's/^project(halvex VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
fail=0
check() {  # what, expected, got
  [ "$2" = "$3" ] && return 0
  printf '%s:\n  expected: %s\n  got:      %s\n' "$1" "$2" "$3"
  fail=1
}
files() { dpkg-deb -c "$1" | awk '{print $6}' | grep -v '/$' | sed 's|^\./||' | sort | tr '\n' ' '; }
for arch in amd64 armhf; do
  case $arch in amd64) triplet=x86_64-linux-gnu ;; armhf) triplet=arm-linux-gnueabihf ;; esac
  lib=$out/libhalvex1_${version}_$arch.deb dev=$out/libhalvex-dev_${version}_$arch.deb
  tools=$out/halvex-tools_${version}_$arch.deb
  check "libhalvex1 $arch files" "usr/lib/$triplet/libhalvex.so.1 usr/lib/$triplet/libhalvex.so.$version usr/share/doc/libhalvex1/changelog.gz usr/share/doc/libhalvex1/copyright " "$(files "$lib")"
  headers=$(cd library/include && find hx -name '*.h' | sed 's|^|usr/include/|' | sort | tr '\n' ' ')
  check "libhalvex-dev $arch files" "$(printf '%s\n' $headers usr/lib/$triplet/cmake/halvex/halvexConfig.cmake \
    usr/lib/$triplet/cmake/halvex/halvexConfigVersion.cmake usr/lib/$triplet/cmake/halvex/halvexTargets-release.cmake \
    usr/lib/$triplet/cmake/halvex/halvexTargets.cmake usr/lib/$triplet/libhalvex.so usr/lib/$triplet/pkgconfig/halvex.pc \
    usr/share/doc/libhalvex-dev/changelog.gz usr/share/doc/libhalvex-dev/copyright | sort | tr '\n' ' ')" "$(files "$dev")"
  programs="hx_board_check hx_press_monitor hx_serial_echo hx_throttle_cal hx_throttle_check serial_probe"
  check "halvex-tools $arch files" "$( (for p in $programs; do printf 'usr/bin/%s\nusr/share/man/man1/%s.1.gz\n' "$p" "$p"; done
    printf '%s\n' usr/share/doc/halvex-tools/changelog.gz usr/share/doc/halvex-tools/copyright \
      usr/lib/udev/rules.d/60-halvex.rules) | sort | tr '\n' ' ')" \
    "$(files "$tools")"
  for deb in "$lib" "$dev" "$tools"; do
    check "$deb Architecture" "$arch" "$(dpkg-deb -f "$deb" Architecture)"
    check "$deb Version" "$version" "$(dpkg-deb -f "$deb" Version)"
    # No path of the machine that built it.
    dpkg-deb --fsys-tarfile "$deb" | tar -xO 2>/dev/null | grep -a -q "$src" && { echo "$deb holds the build path $src"; fail=1; }
  done
  check "libhalvex1 $arch shlibs" "libhalvex 1 libhalvex1 (>= $version)" "$(dpkg-deb -I "$lib" shlibs)"
  check "libhalvex-dev $arch Depends" "libhalvex1 (= $version)" "$(dpkg-deb -f "$dev" Depends)"
  # Built against Debian 11's C library: they install on Debian 11 (glibc 2.31) and newer.
  for deb in "$lib" "$tools"; do
    v=$(dpkg-deb -f "$deb" Depends | sed -n 's/.*libc6 (>= \([0-9.]*\)).*/\1/p')
    [ -n "$v" ] && dpkg --compare-versions "$v" le 2.31 ||
      { echo "$deb Depends: $(dpkg-deb -f "$deb" Depends) (wants libc6 (>= 2.31) or lower)"; fail=1; }
  done
  case $(dpkg-deb -f "$tools" Depends) in *libc6\ \(\>=*libhalvex1\ \(\>=\ $version\)*adduser) ;;
    *) echo "halvex-tools $arch Depends: $(dpkg-deb -f "$tools" Depends)"; fail=1 ;; esac
  # Every binary the packages hold runs on Debian 11: each library it needs is there (or
  # is libhalvex itself), and so is each symbol version it needs of it.
  sysroot=$(tools/sysroot.sh "$arch")
  unpacked=$(mktemp -d)
  dpkg-deb -x "$lib" "$unpacked"
  dpkg-deb -x "$tools" "$unpacked"
  for elf in $(find "$unpacked" -type f | while read -r f; do head -c 4 "$f" | grep -q ELF && echo "$f"; done); do
    name=${elf#"$unpacked"/}
    for need in $(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      [ "$need" = libhalvex.so.1 ] && continue
      have=$(find "$sysroot/lib" "$sysroot/runtime/lib" -name "$need" 2>/dev/null | head -n 1)
      if [ -z "$have" ]; then echo "$name ($arch) needs $need, which Debian 11 does not have"; fail=1; continue; fi
      defined=$(readelf -V -W "$have" | sed -n "/'\.gnu\.version_d'/,/'\.gnu\.version_r'/p" | sed -n 's/.*Name: \([^ ]*\).*/\1/p')
      for v in $(readelf -V -W "$elf" | awk -v want="$need" '/File:/ {file = $4} /Name:/ && file == want {print $3}'); do
        echo "$defined" | grep -qx "$v" || { echo "$name ($arch) needs $v of $need, newer than Debian 11's"; fail=1; }
      done
    done
  done
  rm -rf "$unpacked"
done
# The PRU firmware: one package for every architecture, the images where remoteproc
# looks for them, lintian's two binary checks overridden with the reason.
fw=$out/halvex-pru-firmware_${version}_all.deb
check "halvex-pru-firmware files" "lib/firmware/am335x-pru0-hx-encoder-fw lib/firmware/am335x-pru1-hx-servo-fw \
usr/share/doc/halvex-pru-firmware/changelog.gz usr/share/doc/halvex-pru-firmware/copyright \
usr/share/lintian/overrides/halvex-pru-firmware " "$(files "$fw")"
check "halvex-pru-firmware Architecture" "all" "$(dpkg-deb -f "$fw" Architecture)"
for image in am335x-pru0-hx-encoder-fw am335x-pru1-hx-servo-fw; do
  check "the packaged $image is the PRU's" "ELF 32-bit LSB, machine 144, entry 0" \
    "$(dpkg-deb --fsys-tarfile "$fw" | tar -xO ./lib/firmware/$image |
       od -A n -t u1 -N 28 | tr -s ' \n' ' ' | awk '{printf "ELF %d-bit %s, machine %d, entry %d", $5 * 32, ($6 == 1 ? "LSB" : "MSB"), $19 + 256 * $20, $25}')"
done
# The Python package: pure Python, one for every architecture, on the library.
py=$out/python3-halvex_${version}_all.deb
check "python3-halvex files" "$( ( (cd python && ls halvex/*.py halvex/py.typed) | sed 's|^|usr/lib/python3/dist-packages/|'
  printf '%s\n' usr/share/doc/python3-halvex/changelog.gz usr/share/doc/python3-halvex/copyright) | sort | tr '\n' ' ')" \
  "$(files "$py")"
check "python3-halvex Depends" "python3 (>= 3.9), libhalvex1 (>= $version)" "$(dpkg-deb -f "$py" Depends)"
check "python3-halvex version" "__version__ = \"$version\"" "$(grep '^__version__' python/halvex/__init__.py)"
# The device tree additions: one package for every architecture, the overlays, the
# merging script and the kernel's hooks (conffiles), the maintainer scripts that run it.
dt=$out/halvex-device-tree_${version}_all.deb
check "halvex-device-tree files" "etc/kernel/postinst.d/50-halvex-device-tree etc/kernel/postrm.d/50-halvex-device-tree \
lib/modprobe.d/halvex.conf usr/lib/modules-load.d/halvex.conf \
usr/sbin/halvex-device-tree-update usr/share/doc/halvex-device-tree/changelog.gz usr/share/doc/halvex-device-tree/copyright \
usr/share/halvex/devicetree/halvex-4x.dtbo usr/share/halvex/devicetree/halvex-paths.dtbo usr/share/halvex/devicetree/halvex.dtbo \
usr/share/man/man8/halvex-device-tree-update.8.gz " \
  "$(files "$dt")"
check "halvex-device-tree Architecture" "all" "$(dpkg-deb -f "$dt" Architecture)"
check "halvex-device-tree Depends" "device-tree-compiler" "$(dpkg-deb -f "$dt" Depends)"
check "halvex-device-tree conffiles" "/etc/kernel/postinst.d/50-halvex-device-tree
/etc/kernel/postrm.d/50-halvex-device-tree" "$(dpkg-deb -I "$dt" conffiles)"
report=$(lintian "$out"/*.deb 2>&1 | grep -v 'running with root privileges' || true)
[ -n "$report" ] && echo "lintian: $report"
echo "$report" | grep -q '^E:' && fail=1
[ $fail = 0 ] && echo "packages ok: $(ls "$out"/*.deb | wc -l) packages, lintian clean"
exit $fail
