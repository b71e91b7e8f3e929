#!/bin/sh
# halvex-device-tree-update and the kernel hook as the package installs them, run in a
# root of their own: a private mount namespace, /usr the machine's own under an overlay
# (so that a kernel's trees can be laid into it), /etc, /boot and /proc empty but for
# what each case puts there. Nothing of the machine's own /usr, /etc or /proc changes.
# The kernels' trees are the board's real ones (trees.sh).
#
#   update_test.sh BUILD [CACHE]
set -eu
build=$(cd "$1" && pwd) cache=${2:-/var/cache/halvex-vm}
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
if [ "${HX_IN_NAMESPACE:-}" != 1 ]; then
  command -v fdtoverlay >/dev/null || { echo "SKIP: fdtoverlay (device-tree-compiler) is not installed"; exit 77; }
  "$here/trees.sh" "$cache" || { echo "SKIP: the board's trees could not be fetched (above says which)"; exit 77; }
  as=""; [ "$(id -u)" = 0 ] || as=-r
  HX_IN_NAMESPACE=1 exec unshare $as --mount --propagation private sh "$0" "$@"
fi
trees=$cache/trees check=$build/tests/devicetree/treecheck
r=$(mktemp -d)
mount -t tmpfs tmpfs "$r"
mkdir -p "$r/usr" "$r/.u" "$r/.w" "$r/etc" "$r/boot" "$r/proc" "$r/tmp" "$r/dev"
mount -t overlay overlay -o lowerdir=/usr,upperdir="$r/.u",workdir="$r/.w" "$r/usr"
for l in bin sbin lib lib64 lib32; do [ -L /$l ] && ln -s "$(readlink /$l)" "$r/$l"; done
mount --bind /dev "$r/dev"
# What the package installs.
mkdir -p "$r/usr/share/halvex/devicetree" "$r/etc/kernel/postinst.d"
cp "$build/devicetree/"*.dtbo "$r/usr/share/halvex/devicetree/"
cp "$src/devicetree/halvex-device-tree-update" "$r/usr/sbin/"
cp "$src/devicetree/kernel-hook" "$r/etc/kernel/postinst.d/50-halvex-device-tree"
fail=0
result() { if [ "$2" = 0 ]; then echo "RESULT $1 PASS $3"; else echo "RESULT $1 FAIL $3"; fail=1; fi; }
kernel() { # VERSION TREE DIR: a kernel installed with its trees, the board's and another
  mkdir -p "$r$3" "$r/usr/lib/modules/$1"
  : > "$r/boot/vmlinuz-$1"
  cp "$2" "$r$3/board.dtb"
  cp "$build/devicetree/halvex.dtbo" "$r$3/other.dtb"
}
run() { chroot "$r" /usr/sbin/halvex-device-tree-update "$@"; }
merged=$r/etc/flash-kernel/dtbs/board.dtb

kernel 6.1.0-50-armmp "$trees/bookworm.dtb" /usr/lib/linux-image-6.1.0-50-armmp
out=$(run 2>&1) && "$check" "$merged" "$trees/bookworm.dtb" "$r/usr/share/halvex/devicetree/halvex-paths.dtbo" >/dev/null
result merge $? "6.1's tree merged into /etc/flash-kernel/dtbs/board.dtb, which passes the check: $out"

# A newer kernel (its trees where 7.x has them): the hook merges its tree.
kernel 7.2.11+deb13-armmp "$trees/trixie-backports.dtb" /usr/lib/modules/7.2.11+deb13-armmp/dtb
chroot "$r" /etc/kernel/postinst.d/50-halvex-device-tree 7.2.11+deb13-armmp /boot/vmlinuz-7.2.11+deb13-armmp >/dev/null
"$check" "$merged" "$trees/trixie-backports.dtb" "$r/usr/share/halvex/devicetree/halvex-paths.dtbo" >/dev/null
result newest $? "after a 7.x kernel's install the merged tree is 7.x's"

# On a running machine that is not the board: nothing.
rm -f "$merged"
mkdir -p "$r/proc/device-tree"
printf 'another,board\0ti,am33xx\0' > "$r/proc/device-tree/compatible"
out=$(run 2>&1)
[ ! -e "$merged" ]; result not-the-board $? "$out"
fdtget -t s "$trees/trixie-backports.dtb" / compatible | cut -d ' ' -f 1 | tr '\n' '\0' > "$r/proc/device-tree/compatible"
out=$(run 2>&1) && [ -e "$merged" ]; result the-board $? "on the board itself: $out"

# Someone else's tree in the way: left alone, said so; the hook does not fail the
# kernel's install for it. --remove takes only its own.
cp "$trees/trixie-backports.dtb" "$merged"
before=$(md5sum < "$merged")
out=$(run 2>&1) && rc=0 || rc=$?
[ $rc = 1 ] && [ "$(md5sum < "$merged")" = "$before" ]
result foreign $? "exit $rc, $(echo "$out" | head -n 1)"
chroot "$r" /etc/kernel/postinst.d/50-halvex-device-tree 7.2.11+deb13-armmp >/dev/null 2>&1
result hook-never-fails $? "the kernel hook's status with a foreign tree in the way"
run --remove >/dev/null
[ -e "$merged" ]; result remove-foreign $? "--remove leaves a tree it did not write"
rm -f "$merged"
run >/dev/null && run --remove >/dev/null && [ ! -e "$merged" ]
result remove $? "--remove takes its own merged tree away"
umount "$r/dev" "$r/usr" "$r"
exit $fail
