#!/bin/sh
# The example robot unit as systemd reads it: no error (its program stood in for by
# /bin/true), and no capability left (systemd-analyze security's CapabilityBoundingSet=).
#
#   unit_test.sh UNIT
set -eu
command -v systemd-analyze >/dev/null || { echo "SKIP: no systemd-analyze"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed 's|^ExecStart=.*|ExecStart=/bin/true|' "$1" > "$work/halvex-robot.service"
systemd-analyze verify "$work/halvex-robot.service"
out=$(systemd-analyze security --offline=yes "$work/halvex-robot.service" 2>&1)
echo "$out" | grep -E '^✓ CapabilityBoundingSet=~CAP_SYS_ADMIN|^✓ NoNewPrivileges=' | head -n 2
[ "$(echo "$out" | grep -c -E '^✓ (CapabilityBoundingSet=~CAP_SYS_ADMIN|CapabilityBoundingSet=~CAP_SYS_RAWIO|NoNewPrivileges=)')" = 3 ]
echo "$out" | tail -n 1
