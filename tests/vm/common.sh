# Sourced by the VM scripts: what the initramfs and the results share.

# The initramfs's skeleton in ROOT: busybox and the kernel's modules from the cached
# KERNEL directory, INIT as /init.
make_root() {  # ROOT KERNEL INIT
  mkdir -p "$1/bin" "$1/lib" "$1/modules" "$1/proc" "$1/sys" "$1/dev" "$1/tmp"
  cp "$2/busybox" "$1/bin/busybox"
  cp "$2/modules/"*.ko "$1/modules/"
  install -m755 "$3" "$1/init"
}

# The libraries FILE needs, from SYSROOT into DEST, and theirs in turn.
copy_needs() {  # FILE SYSROOT DEST
  for lib in $(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ -e "$3/$lib" ] && continue
    [ -e "$2/$lib" ] || continue  # ours, already there
    cp -L "$2/$lib" "$3/$lib"
    copy_needs "$3/$lib" "$2" "$3"
  done
}

# hx_board_check's output in the guest's CONSOLE (its "BOARDCHECK" lines) against
# EXPECTED, line by line, the guest kernel's RELEASE written <release> (where the
# firmware loader looks names it): a RESULT line; false on a difference.
board_check_result() {  # CONSOLE EXPECTED WORK RELEASE
  grep -a '^BOARDCHECK' "$1" | tr -d '\r' | sed 's/^BOARDCHECK //' | sed "s/$4/<release>/g" > "$3/board-check.out"
  if [ -f "$2" ] && cmp -s "$2" "$3/board-check.out"; then
    echo "RESULT board-check PASS $(tail -n 1 "$3/board-check.out" | sed 's/^| //'), $(head -n 1 "$3/board-check.out"), as expected line by line"
    return 0
  fi
  echo "RESULT board-check FAIL (expected | got):"
  if [ -f "$2" ]; then diff "$2" "$3/board-check.out" | sed 's/^/  /' || true
  else echo "  (no $2; this VM's output:)"; sed 's/^/  /' "$3/board-check.out"; fi
  return 1
}
