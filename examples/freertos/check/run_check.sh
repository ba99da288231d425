#!/usr/bin/env bash
# Runs an image of the example's suite twice on qemu's Cortex-A9 board,
# counting instructions (-icount shift=0), each run inside a timeout: both
# runs must end "N passed, 0 failed" and print the same lines.
# Usage: run_check.sh QEMU IMAGE VECTORS-FOLDER [MODULE-OBJECT]
set -uo pipefail
qemu=$1 image=$2
shift 2
first=$(mktemp) second=$(mktemp)
trap 'rm -f "$first" "$second"' EXIT
run() {
  timeout 300 "$qemu" -M vexpress-a9 -m 256M -nographic -monitor none -serial null \
    -audiodev none,id=silent -global pl041.audiodev=silent \
    -icount shift=0 -semihosting-config enable=on,target=native -kernel "$image" -append "$*"
}
run "$@" 2>&1 | tee "$first"
status=${PIPESTATUS[0]}
run "$@" >"$second" 2>&1
diff "$first" "$second" >/dev/null || { echo "FAIL  a second run printed other lines:"; diff "$first" "$second"; status=1; }
tail -n 1 "$first" | grep -Eq '^[0-9]+ passed, 0 failed$' || status=1
exit "$status"
