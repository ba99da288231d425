# Cross build for arm64 with Debian's cross compiler and Debian's arm64
# libcrypto and GoogleTest (multiarch); test programs run under qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# The programs load Debian's multiarch libraries (libstdc++6:ARCH among them):
# qemu's -L with the cross compiler's own libc crashes threaded programs.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
# Otherwise FindOpenSSL asks the host's pkg-config and finds the host's libcrypto.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
# The module is built position-dependent, as a device image links it; the
# programs that link it for testing must then not be PIE.
set(CMAKE_EXE_LINKER_FLAGS_INIT -no-pie)
# Atomics inline rather than through libgcc's outline helpers (__aarch64_*).
set(RAWCRYPT_MODULE_FLAGS -fno-pie -mno-outline-atomics)
