#!/bin/sh
# Install halvex into a scratch prefix and build a robot's C program against it, once
# with pkg-config and once with find_package; check that only the API is exported.
set -eu
build=$1 src=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage/usr" >/dev/null

lib=$(ls "$stage"/usr/lib*/libhalvex.so.1.*.* "$stage"/usr/lib/*/libhalvex.so.1.*.* 2>/dev/null | head -n 1)
[ "$(readelf -d "$lib" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')" = libhalvex.so.1 ]
nm -D --defined-only "$lib" | awk '$2 ~ /^[TWi]$/ {print $3}' | sed 's/@.*//' | sort > "$stage/exports"
diff -u "$src/exports.txt" "$stage/exports"

libdir=$(dirname "$lib")
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
cc -Wall -Werror -o "$stage/with-pc" "$src/consumer.c" $(pkg-config --cflags --libs halvex)
[ "$(LD_LIBRARY_PATH="$libdir" "$stage/with-pc")" = 32 ]

cmake -S "$src" -B "$stage/cm" -DCMAKE_PREFIX_PATH="$stage/usr" >/dev/null
cmake --build "$stage/cm" >/dev/null
[ "$(LD_LIBRARY_PATH="$libdir" "$stage/cm/consumer")" = 32 ]
echo "package ok: $(wc -l < "$stage/exports") exported symbols"
