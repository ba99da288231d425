#!/usr/bin/env bash
# Builds and runs every test of rawcrypt: installs what is missing, then the
# whole suite natively, under AddressSanitizer + UndefinedBehaviorSanitizer and
# under ThreadSanitizer, then the libFuzzer targets for a bounded time (RAWCRYPT_FUZZ_SECONDS, 30).
# Ends with one line "N passed, M failed"; exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)

say() { printf '\n=== %s\n' "$*"; }

install_missing() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

passed=0
failed=0
failed_suites=()

# run_suite NAME CMAKE_ARGS...: configure, build and test one build tree.
run_suite() {
  local name=$1 dir=build${1:+-$1}
  shift
  [ "$name" = native ] && dir=build
  say "suite $name ($dir)"
  mkdir -p "$dir"
  if ! cmake -S . -B "$dir" -DRAWCRYPT_WERROR=ON "$@" >"$dir/configure.log" 2>&1; then
    cat "$dir/configure.log"; failed=$((failed + 1)); failed_suites+=("$name:configure"); return
  fi
  if ! cmake --build "$dir" -j"$jobs" 2>&1 | grep -E 'warning|error|Error' ; then :; fi
  if [ "${PIPESTATUS[0]}" -ne 0 ]; then
    failed=$((failed + 1)); failed_suites+=("$name:build"); return
  fi
  local log="$dir/ctest.log"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 900) >"$log" 2>&1
  tail -n 3 "$log"
  local total fails
  total=$(sed -nE 's/.* tests? failed out of ([0-9]+).*/\1/p' "$log" | tail -1)
  fails=$(sed -nE 's/.* ([0-9]+) tests? failed out of.*/\1/p' "$log" | tail -1)
  if [ -z "$total" ]; then
    cat "$log"; failed=$((failed + 1)); failed_suites+=("$name:ctest"); return
  fi
  passed=$((passed + total - fails))
  failed=$((failed + fails))
  if [ "$fails" -ne 0 ]; then
    grep -E -B2 -A30 '\*\*\*Failed|Failure' "$log" | head -200
    failed_suites+=("$name")
  fi
}

install_missing cmake g++ make libssl-dev libgtest-dev clang

run_suite native -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite asan -DCMAKE_BUILD_TYPE=Debug -DRAWCRYPT_SANITIZE=address,undefined
run_suite tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAWCRYPT_SANITIZE=thread
CC=clang CXX=clang++ run_suite fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAWCRYPT_FUZZ=ON \
  -DRAWCRYPT_SANITIZE=address,undefined -DRAWCRYPT_FUZZ_SECONDS="${RAWCRYPT_FUZZ_SECONDS:-30}"

say "summary"
[ ${#failed_suites[@]} -ne 0 ] && echo "failing: ${failed_suites[*]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
