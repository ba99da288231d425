#!/usr/bin/env bash
# Runs the bare-metal test image on qemu's Cortex-A9 board, counting
# instructions (-icount), inside a timeout, then checks every signature it
# printed with an independent P-256 implementation on the host.
# Usage: run_image.sh QEMU IMAGE VECTORS-FOLDER PYTHON VERIFIER
set -uo pipefail
qemu=$1 image=$2 vectors=$3 python=$4 verifier=$5
output=$(mktemp)
trap 'rm -f "$output"' EXIT
timeout 600 "$qemu" -M vexpress-a9 -m 256M -nographic -monitor none -serial null \
  -audiodev none,id=silent -global pl041.audiodev=silent \
  -icount shift=0 -semihosting-config enable=on,target=native \
  -kernel "$image" -append "$vectors $(date +%s)" | tee "$output"
status=${PIPESTATUS[0]}
grep '^signature ' "$output" | "$python" "$verifier" 5 || status=1  # the image signs five messages
tail -n 1 "$output" | grep -Eq '^[0-9]+ passed, 0 failed$' || status=1
exit "$status"
