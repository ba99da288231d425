# Checks the shipped object: relocatable, no entry point, no constructor or
# destructor sections, exactly the exports global (the seven helpers, and
# RAND_poll against 1.0.2), and nothing undefined
# but libcrypto's symbols and the C library functions the target offers.
# Entry points that only the tests call (TEST_ONLY, rawcrypt:: names) must
# not be in it: the helpers cannot reach them.
# Run with -DNM= -DREADELF= -DOBJ= -DEXPORTS= -DCRYPTO= -DTEST_ONLY=a;b and
# -DRUNTIME_HELPERS=a;b (compiler run-time helpers the target allows).
cmake_minimum_required(VERSION 3.20)

function(run out)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(symbol_names out text)
  string(REGEX MATCHALL "[^\n]+" lines "${text}")
  set(names)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE ".* " "" name "${line}")
    string(REGEX REPLACE "@.*" "" name "${name}")
    list(APPEND names "${name}")
  endforeach()
  list(SORT names)
  list(REMOVE_DUPLICATES names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

run(header ${READELF} -hW ${OBJ})
if(NOT header MATCHES "Type: +REL " OR NOT header MATCHES "Entry point address: +0x0\n")
  message(FATAL_ERROR "${OBJ} is not a relocatable object without entry point:\n${header}")
endif()

run(sections ${READELF} -SW ${OBJ})
if(sections MATCHES "\\.(preinit_array|init_array|fini_array|ctors|dtors)")
  message(FATAL_ERROR "${OBJ} carries constructor or destructor sections")
endif()

run(defined ${NM} -g --defined-only ${OBJ})
symbol_names(exported "${defined}")
file(STRINGS ${EXPORTS} wanted)
list(SORT wanted)
if(NOT exported STREQUAL wanted)
  message(FATAL_ERROR "global symbols are [${exported}], expected [${wanted}]")
endif()

run(local ${NM} -C --defined-only ${OBJ})
foreach(name IN LISTS TEST_ONLY)
  string(FIND "${local}" " rawcrypt::${name}(" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${OBJ} carries rawcrypt::${name}, which no helper reaches")
  endif()
endforeach()

run(undefined ${NM} -u ${OBJ})
symbol_names(needed "${undefined}")
if(CRYPTO MATCHES "\\.a$")
  run(library ${NM} -g --defined-only ${CRYPTO})
else()
  run(library ${NM} -D --defined-only ${CRYPTO})
endif()
symbol_names(offered "${library}")
set(c_library printf puts putchar memcpy memset strlen time srand rand _GLOBAL_OFFSET_TABLE_ ${RUNTIME_HELPERS})
set(foreign)
foreach(name IN LISTS needed)
  if(NOT name IN_LIST offered AND NOT name IN_LIST c_library)
    list(APPEND foreign ${name})
  endif()
endforeach()
if(foreign)
  message(FATAL_ERROR "undefined symbols outside libcrypto and the target's C library: ${foreign}")
endif()
list(LENGTH needed count)
message(STATUS "module OK: exports ${exported}; ${count} undefined symbols, all allowed")
