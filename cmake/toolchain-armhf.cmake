# Cross build for armhf with Debian's cross compiler and Debian's armhf
# libcrypto and GoogleTest (multiarch); test programs run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# The programs load Debian's multiarch libraries (libstdc++6:ARCH among them):
# qemu's -L with the cross compiler's own libc crashes threaded programs.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
# Otherwise FindOpenSSL asks the host's pkg-config and finds the host's libcrypto.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
# The module is built position-dependent, as a device image links it; the
# programs that link it for testing must then not be PIE.
set(CMAKE_EXE_LINKER_FLAGS_INIT -no-pie)
set(RAWCRYPT_MODULE_FLAGS -fno-pie)
