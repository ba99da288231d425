# Cross build with Debian's cross compiler for RAWCRYPT_TRIPLET and Debian's
# multiarch libcrypto and GoogleTest; test programs run under RAWCRYPT_QEMU.
# Included by toolchain-armhf.cmake and toolchain-arm64.cmake.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${RAWCRYPT_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${RAWCRYPT_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${RAWCRYPT_TRIPLET})
# The programs load Debian's multiarch libraries (libstdc++6:ARCH among them):
# qemu's -L with the cross compiler's own libc crashes threaded programs.
set(CMAKE_CROSSCOMPILING_EMULATOR ${RAWCRYPT_QEMU})
# Otherwise FindOpenSSL asks the host's pkg-config and finds the host's libcrypto.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${RAWCRYPT_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
# The module is built position-dependent, as a device image links it; the
# programs that link it for testing must then not be PIE.
set(CMAKE_EXE_LINKER_FLAGS_INIT -no-pie)
set(RAWCRYPT_MODULE_FLAGS -fno-pie ${RAWCRYPT_ARCH_FLAGS})
