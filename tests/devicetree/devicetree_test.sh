#!/bin/sh
# The device tree additions on the board's real trees: merged into the .dtb of Debian's
# bookworm 6.1 and trixie-backports 7.x armmp kernels (by path: those trees carry no
# symbols) and into the board's tree built with symbols from Debian's kernel source (by
# label), each merged tree checked by treecheck; the unmerged trees fail the same check
# on what the issue found wrong with them; the two-cell overlay for vendor 4.x trees
# holds the same pads as the three-cell one.
#
#   devicetree_test.sh BUILD [CACHE]
set -eu
build=$(cd "$1" && pwd) cache=${2:-/var/cache/halvex-vm}
here=$(cd "$(dirname "$0")" && pwd)
dt=$build/devicetree check=$build/tests/devicetree/treecheck
command -v fdtoverlay >/dev/null || { echo "SKIP: fdtoverlay (device-tree-compiler) is not installed"; exit 77; }
"$here/trees.sh" "$cache" || { echo "SKIP: the board's trees could not be fetched (above says which)"; exit 77; }
trees=$cache/trees
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
result() { # name, status, text
  if [ "$2" = 0 ]; then echo "RESULT $1 PASS $3"; else echo "RESULT $1 FAIL $3"; fail=1; fi
}

for tree in bookworm trixie-backports; do
  kernel=$(sed -n "s/^$tree //p" "$trees/versions")
  base=$trees/$tree.dtb merged=$work/$tree.dtb
  fdtoverlay -i "$base" -o "$merged" "$dt/halvex-paths.dtbo"
  if out=$("$check" "$merged" "$base" "$dt/halvex-paths.dtbo"); then
    result "$tree-merged" 0 "$kernel: every node enabled, every pad at its value, no pad claimed twice, nothing lost"
  else
    result "$tree-merged" 1 "$kernel:"; echo "$out" | sed 's/^/  /'
  fi
  # The pad the board's eQEP0 group got wrong is left to its line.
  claimed=$("$check" --claims "$merged" | awk '$1 == "998"')
  [ -z "$claimed" ]; result "$tree-0x998" $? "pad 0x998 (mcasp0_axr0) claimed by no group after the merge${claimed:+: $claimed}"
  # The tree as Debian ships it: the check names what the additions mend.
  out=$("$check" "$base" || true)
  missing=0
  for line in "the PRU-ICSS: .* is disabled" "PRU core 0 (encoder 4): .* is disabled" \
              "PRU core 1 (the servo header): .* is disabled" "encoder 1 A: pad 0x9a0 is muxed by no enabled device" \
              "encoder 4 A: pad 0x838 is muxed by no enabled device" "servo 8: pad 0x8b4 is muxed by no enabled device" \
              "servo rail: pad 0x8c8 is muxed by no enabled device" "pause button: pad 0x89c is muxed by no enabled device"; do
    echo "$out" | grep -q "^$line" || { echo "  not said of the unmerged tree: $line"; missing=1; }
  done
  result "$tree-unmerged" $missing "$(echo "$out" | wc -l) problems in the tree as shipped, the PRU-ICSS's and the pads' among them"
  # Without symbols, an overlay by label cannot apply: why the merge goes by path.
  refused=$(fdtoverlay -i "$base" -o "$work/x.dtb" "$dt/halvex.dtbo" 2>&1 || true)
  case $refused in *FDT_ERR_NOTFOUND*) result "$tree-labels" 0 "the overlay by label is refused (FDT_ERR_NOTFOUND)" ;;
    *) result "$tree-labels" 1 "the overlay by label was not refused: $refused" ;; esac
  # The check of what was kept can fail: held against an overlay that targets none of
  # these nodes (by label, in a tree without symbols), the merge's changes show.
  out=$("$check" "$merged" "$base" "$dt/halvex-4x.dtbo" || true)
  echo "$out" | grep -q "^changed, though the overlay does not set it: /ocp/interconnect@4a000000/segment@0/target-module@300000 status$"
  result "$tree-kept" $? "what the overlay does not set must stay: the check sees a change it did not make"
done

# The board's tree with symbols, from Debian's source: the overlay by label.
base=$trees/symbols.dtb merged=$work/symbols.dtb
if fdtoverlay -i "$base" -o "$merged" "$dt/halvex.dtbo" && out=$("$check" "$merged" "$base" "$dt/halvex.dtbo"); then
  result symbols-merged 0 "$(sed -n 's/^symbols //p' "$trees/versions"), built with symbols: the overlay by label applies and the merged tree passes"
else
  result symbols-merged 1 "the overlay by label on the tree with symbols:"; echo "${out:-}" | sed 's/^/  /'
fi

# The check of the UIO device's regions can fail: one that maps the whole PRU-ICSS
# (its control registers and the cores' instruction RAM among it) is refused.
printf '/dts-v1/;\n/plugin/;\n/ { fragment@0 { target-path = "/"; __overlay__ {\n pru-memories@4a302000 { compatible = "halvex,pru-memories"; reg = <0x4a300000 0x80000>; };\n}; }; };\n' |
  dtc -q -I dts -O dtb -o "$work/wide.dtbo" -
fdtoverlay -i "$work/trixie-backports.dtb" -o "$work/wide.dtb" "$work/wide.dtbo"
out=$("$check" "$work/wide.dtb" || true)
echo "$out" | grep -q "pru-memories@4a302000: maps 4a300000+80000, not exactly 4a302000+2000 4a310000+3000"
result uio-regions $? "a UIO device of more than the two PRU memories is refused: $(echo "$out" | grep "pru-memories@4a302000: maps")"

out=$("$check" --same-pads "$dt/halvex-paths.dtbo" "$dt/halvex-4x.dtbo") && result two-cells 0 "halvex-4x.dtbo: $out" ||
  result two-cells 1 "halvex-4x.dtbo: $out"
exit $fail
