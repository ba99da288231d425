# The module: its sources compiled without the C++ run time, then joined into
# ONE relocatable object whose only global symbols are the seven helpers.

set(RAWCRYPT_MODULE_SOURCES
  helpers/base64.cpp
  helpers/base64_neon.cpp
  helpers/base64_x86.cpp
  helpers/encrypt.cpp
  target/bn_rand.cpp
  target/console.cpp
  target/ecdsa_sign.cpp
  target/generator.cpp
  target/nonce.cpp
  target/rand_poll.cpp)

# 32-bit ARM: Debian's armhf baseline has no NEON, so the module uses it only
# for firmware built for a core that has it.
option(RAWCRYPT_ARM_NEON "32-bit ARM: build the module with NEON (-mfpu=neon)" OFF)
# 32-bit ARM: for a loader that may place the module far from libcrypto, no
# call from the module to a symbol outside it is a 24-bit branch (reach
# +-16 MiB in Thumb-2); target/calls.h says how.
option(RAWCRYPT_LONG_CALLS "32-bit ARM: call everything outside the module through a register" OFF)
if(RAWCRYPT_LONG_CALLS AND NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
  message(FATAL_ERROR "RAWCRYPT_LONG_CALLS is for 32-bit ARM targets")
endif()

# rawcrypt_module_objects(name): the module's sources compiled as the module
# is. No C++ run time, printf left as printf (not puts), no unwind tables for
# a loader that has no use for them; RAWCRYPT_MODULE_FLAGS comes from a
# toolchain file (-fno-pie for the devices). LONG_CALLS: see RAWCRYPT_LONG_CALLS.
function(rawcrypt_module_objects name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "LONG_CALLS" "" "")
  list(TRANSFORM RAWCRYPT_MODULE_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/ OUTPUT_VARIABLE sources)
  add_library(${name} OBJECT ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC OpenSSL::Crypto)
  target_compile_options(${name} PRIVATE
    -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-builtin-printf
    -fno-asynchronous-unwind-tables -fno-unwind-tables
    -ffunction-sections -fdata-sections ${RAWCRYPT_MODULE_FLAGS})
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
    # A tail call out of the module is a plain jump, which cannot switch
    # between ARM and Thumb code: a loader could not reach a callee built in
    # the other state. Every call out is a BL (or BLX) instead.
    target_compile_options(${name} PRIVATE -fno-optimize-sibling-calls)
    if(RAWCRYPT_ARM_NEON)
      target_compile_options(${name} PRIVATE -mfpu=neon)
    endif()
  endif()
  if(arg_LONG_CALLS)
    target_compile_options(${name} PRIVATE -mlong-calls)
    target_compile_definitions(${name} PRIVATE RAWCRYPT_LONG_CALLS)
  endif()
endfunction()

if(RAWCRYPT_LONG_CALLS)
  rawcrypt_module_objects(rawcrypt_objs LONG_CALLS)
else()
  rawcrypt_module_objects(rawcrypt_objs)
endif()

if(RAWCRYPT_FUZZ)
  return()  # fuzz targets take the objects directly
endif()

set(RAWCRYPT_MODULE ${PROJECT_BINARY_DIR}/rawcrypt.o)
# The exported names: the seven helpers, and against 1.0.2 the entropy poll
# the library's own generator calls.
file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/exports.txt rawcrypt_exported)
if(OPENSSL_VERSION VERSION_LESS "1.1.0")
  list(APPEND rawcrypt_exported RAND_poll)
endif()
set(RAWCRYPT_EXPORTS ${PROJECT_BINARY_DIR}/exports.txt)
list(JOIN rawcrypt_exported "\n" rawcrypt_exports_text)
file(CONFIGURE OUTPUT ${RAWCRYPT_EXPORTS} CONTENT "${rawcrypt_exports_text}\n")
# Soft float: the generator's entropy count is a double, as libcrypto's own,
# and without an FPU its arithmetic calls libgcc (helpers that every
# soft-float image links for libcrypto anyway). Against 1.0.2 the library
# keeps the count and the module only turns a byte count into a credit.
if(RAWCRYPT_FLOAT_ABI STREQUAL "soft")
  set(RAWCRYPT_RUNTIME_HELPERS __aeabi_i2d)
  if(NOT OPENSSL_VERSION VERSION_LESS "1.1.0")
    list(APPEND RAWCRYPT_RUNTIME_HELPERS __aeabi_dadd __aeabi_dsub __aeabi_dcmpge __aeabi_dcmplt)
  endif()
endif()
# The exports are the roots: sections they cannot reach (entry points that
# only the tests call, which link the objects themselves) stay out.
string(REGEX REPLACE "objcopy$" "size" rawcrypt_size_tool "${CMAKE_OBJCOPY}")
set(rawcrypt_roots)
foreach(name IN LISTS rawcrypt_exported)
  list(APPEND rawcrypt_roots -u ${name})
endforeach()
# rawcrypt_join(objects output): one objects library of the module joined into
# one relocatable object (rawcrypt.o, and the tests' variants of it).
function(rawcrypt_join objects output)
  get_filename_component(file ${output} NAME)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_LINKER} -r --force-group-allocation --gc-sections ${rawcrypt_roots}
            -o ${output} $<TARGET_OBJECTS:${objects}>
    COMMAND ${CMAKE_OBJCOPY} --keep-global-symbols=${RAWCRYPT_EXPORTS} ${output}
    COMMAND ${CMAKE_COMMAND} -E echo "rawcrypt module: ${output}"
    COMMAND ${rawcrypt_size_tool} ${output}
    DEPENDS ${objects} $<TARGET_OBJECTS:${objects}> ${RAWCRYPT_EXPORTS}
    COMMENT "Joining the module into ${file}"
    COMMAND_EXPAND_LISTS VERBATIM)
endfunction()
rawcrypt_join(rawcrypt_objs ${RAWCRYPT_MODULE})
add_custom_target(rawcrypt_module ALL DEPENDS ${RAWCRYPT_MODULE})

# rawcrypt_use_module(target [object]): links the shipped object (or a variant
# the tests build) into target, so that tests and tools exercise exactly what
# firmware engineers get.
function(rawcrypt_use_module target)
  set(object ${RAWCRYPT_MODULE})
  if(ARGC GREATER 1)
    set(object ${ARGV1})
  endif()
  target_sources(${target} PRIVATE ${object})
  set_source_files_properties(${object} TARGET_DIRECTORY ${target}
    PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  add_dependencies(${target} rawcrypt_module)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE OpenSSL::Crypto)
endfunction()

# rawcrypt_add_symbol_check(): the test module.symbols on the shipped object
# (cmake/check_module.cmake), allowing the compiler run-time helpers that a
# toolchain file names in RAWCRYPT_RUNTIME_HELPERS (none but soft float's).
function(rawcrypt_add_symbol_check)
  add_test(NAME module.symbols
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DREADELF=${CMAKE_READELF}
            -DOBJ=${RAWCRYPT_MODULE} -DEXPORTS=${RAWCRYPT_EXPORTS}
            -DCRYPTO=${OPENSSL_CRYPTO_LIBRARY} "-DRUNTIME_HELPERS=${RAWCRYPT_RUNTIME_HELPERS}"
            -DLONG_CALLS=${RAWCRYPT_LONG_CALLS}
            "-DTEST_ONLY=ECDSA_sign;ECDSA_sign_ex;ECDSA_sign_setup;BN_bntest_rand;BN_pseudo_rand_range;RAND_seed;RAND_status;RAND_cleanup"
            -P ${PROJECT_SOURCE_DIR}/cmake/check_module.cmake)
endfunction()
