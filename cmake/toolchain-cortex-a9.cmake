# Bare metal on a Cortex-A9 (ARM state) with Debian's arm-none-eabi GCC and
# newlib: the device's kind of system, with no OS and no dynamic loader.
# Hard float on VFPv3-D16 by default; -DRAWCRYPT_FLOAT_ABI=soft builds for
# images without an FPU.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
# No C library start-up files to link against until an image asks for them.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(RAWCRYPT_FLOAT_ABI hard CACHE STRING "Cortex-A9 float ABI: hard (VFPv3-D16) or soft")
set_property(CACHE RAWCRYPT_FLOAT_ABI PROPERTY STRINGS hard soft)
if(RAWCRYPT_FLOAT_ABI STREQUAL "soft")
  set(rawcrypt_cpu_flags "-mcpu=cortex-a9 -marm -mfloat-abi=soft")
else()
  set(rawcrypt_cpu_flags "-mcpu=cortex-a9 -marm -mfloat-abi=hard -mfpu=vfpv3-d16")
endif()
set(CMAKE_C_FLAGS_INIT "${rawcrypt_cpu_flags}")
set(CMAKE_CXX_FLAGS_INIT "${rawcrypt_cpu_flags}")
set(CMAKE_ASM_FLAGS_INIT "${rawcrypt_cpu_flags}")

# The SDK's libcrypto comes from OPENSSL_ROOT_DIR alone, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Test images run on an emulated Cortex-A9 board.
set(RAWCRYPT_BARE_METAL ON)
