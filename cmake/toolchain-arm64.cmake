# 64-bit ARM (Debian arm64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(RAWCRYPT_TRIPLET aarch64-linux-gnu)
set(RAWCRYPT_QEMU qemu-aarch64)
# Atomics inline rather than through libgcc's outline helpers (__aarch64_*).
set(RAWCRYPT_ARCH_FLAGS -mno-outline-atomics)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
