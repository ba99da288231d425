#!/usr/bin/env bash
# Builds and runs every test of rawcrypt: installs what is missing (Debian
# packages), then the whole suite natively, under AddressSanitizer +
# UndefinedBehaviorSanitizer, under ThreadSanitizer, on 32- and 64-bit ARM
# under qemu (arm64 built Release, the others RelWithDebInfo), the libFuzzer
# targets for a bounded time (RAWCRYPT_FUZZ_SECONDS, default 30 each), the
# bare-metal Cortex-A9 object, against every other libcrypto installed by
# hand under /opt/rawcrypt/libcrypto, and the FreeRTOS example with every
# kernel installed by hand under /opt/rawcrypt/rtos (see below).
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

# run_suite NAME CMAKE_ARGS...: configure, build and test one build tree
# (only the tests matching $suite_tests when it is set).
run_suite() {
  local name=$1 dir=build-$1 started=$SECONDS
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
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 900 ${suite_tests:+-R "$suite_tests"}) >"$log" 2>&1
  tail -n 3 "$log" | grep -v '^$'
  echo "suite $name took $((SECONDS - started)) s"
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

install_missing cmake g++ make libssl-dev libgtest-dev clang openssl valgrind python3 \
  gcc-arm-none-eabi libnewlib-arm-none-eabi libstdc++-arm-none-eabi-dev qemu-system-arm \
  man-db dpkg-dev lintian pkg-config libp11-kit-dev p11-kit softhsm2 opensc strace

# ARM: Debian's cross compilers, qemu-user and the ARM builds of libcrypto,
# GoogleTest and libstdc++ (multiarch). The host's libssl packages are named
# in the same install, since multiarch packages move in lockstep.
install_arm() {
  local need=0
  for arch in armhf arm64; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || { dpkg --add-architecture "$arch"; need=1; }
  done
  for pkg in qemu-user g++-arm-linux-gnueabihf g++-aarch64-linux-gnu libssl-dev:armhf libssl-dev:arm64 \
             libgtest-dev:armhf libgtest-dev:arm64 libstdc++6:armhf libstdc++6:arm64; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || need=1
  done
  [ "$need" -eq 0 ] && return 0
  say "installing the ARM cross toolchains, qemu-user and ARM libraries"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null &&
    apt-get install -y -q --no-install-recommends qemu-user g++-arm-linux-gnueabihf g++-aarch64-linux-gnu >/dev/null &&
    apt-get install -y -q --no-install-recommends --no-remove libssl-dev libssl3 openssl \
      libssl-dev:armhf libssl-dev:arm64 libgtest-dev libgtest-dev:armhf libgtest-dev:arm64 \
      libstdc++6:armhf libstdc++6:arm64 >/dev/null
}
install_arm || echo "warning: the ARM packages could not be installed"

run_suite native -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite asan -DCMAKE_BUILD_TYPE=Debug -DRAWCRYPT_SANITIZE=address,undefined
run_suite tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAWCRYPT_SANITIZE=thread
run_suite armhf -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
run_suite armhf-neon -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake \
  -DRAWCRYPT_ARM_NEON=ON
run_suite arm64 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
CC=clang CXX=clang++ run_suite fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAWCRYPT_FUZZ=ON \
  -DRAWCRYPT_SANITIZE=address,undefined -DRAWCRYPT_FUZZ_SECONDS="${RAWCRYPT_FUZZ_SECONDS:-30}"

# Suites against other libcryptos (1.0.2, the device's, above all, and 1.1.1,
# its likely successor), whatever their names. Each one is
# installed by hand (never by this script) under
#   $RAWCRYPT_LIBCRYPTO_ROOT/<arch>/<name>/{include/openssl,lib/libcrypto.a}
# with <arch> x86_64 (run natively), armhf (cross-built, run under qemu-arm)
# or arm-none-eabi (bare metal: the object for a Cortex-A9, hard and soft
# float, and a test image run on qemu-system-arm's vexpress-a9 board).
libcrypto_root=${RAWCRYPT_LIBCRYPTO_ROOT:-/opt/rawcrypt/libcrypto}
installed() { [ -f "$1/lib/libcrypto.a" ] && [ -d "$1/include/openssl" ]; }
other_libcryptos=0
for prefix in "$libcrypto_root"/x86_64/* "$libcrypto_root"/armhf/*; do
  installed "$prefix" || continue
  arch=$(basename "$(dirname "$prefix")")
  other_libcryptos=$((other_libcryptos + 1))
  args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DOPENSSL_ROOT_DIR="$prefix" -DOPENSSL_USE_STATIC_LIBS=ON)
  [ "$arch" = armhf ] && args+=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake)
  run_suite "$arch-$(basename "$prefix")" "${args[@]}"
done
if [ "$other_libcryptos" -eq 0 ]; then
  say "no other libcrypto installed under $libcrypto_root/{x86_64,armhf}/<name>/: the 1.0.2 and 1.1.1 suites were not run"
fi
# The FreeRTOS example's suite, for every kernel built by hand (against
# examples/freertos/FreeRTOSConfig.h) and installed under
#   $RAWCRYPT_RTOS_ROOT/freertos/<name>/{include,lib/libfreertos.a}
# together with each bare-metal libcrypto.
rtos_root=${RAWCRYPT_RTOS_ROOT:-/opt/rawcrypt/rtos}
kernels=()
for kernel in "$rtos_root"/freertos/*; do
  [ -f "$kernel/lib/libfreertos.a" ] && [ -d "$kernel/include" ] && kernels+=("$kernel")
done
bare_metal=0
for prefix in "$libcrypto_root"/arm-none-eabi/*; do
  installed "$prefix" || continue
  bare_metal=$((bare_metal + 1))
  args=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-cortex-a9.cmake -DOPENSSL_ROOT_DIR="$prefix" -DOPENSSL_USE_STATIC_LIBS=ON)
  run_suite "bare-metal-$(basename "$prefix")" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${args[@]}"
  run_suite "bare-metal-soft-float-long-calls-$(basename "$prefix")" -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DRAWCRYPT_FLOAT_ABI=soft -DRAWCRYPT_LONG_CALLS=ON "${args[@]}"
  for kernel in "${kernels[@]}"; do
    suite_tests='^freertos\.' run_suite "freertos-$(basename "$kernel")-$(basename "$prefix")" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo "${args[@]}" -DRAWCRYPT_FREERTOS_ROOT="$kernel"
  done
done
if [ "$bare_metal" -eq 0 ]; then
  say "no bare-metal libcrypto installed under $libcrypto_root/arm-none-eabi/<name>/: the bare-metal suite was not run"
fi
if [ "$bare_metal" -eq 0 ] || [ ${#kernels[@]} -eq 0 ]; then
  say "the FreeRTOS suite was not run: ${#kernels[@]} kernel(s) under $rtos_root/freertos/<name>/, $bare_metal bare-metal libcrypto(s)"
fi

say "summary"
[ ${#failed_suites[@]} -ne 0 ] && echo "failing: ${failed_suites[*]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
