# rawcrypt_bare_metal_image(target): links target as an image for qemu's
# vexpress-a9 board (RAM from 0x60000000): newlib with semihosting
# (libgloss's rdimon), its start-up code and its library named here rather
# than through GCC's rdimon driver file, the start files before the objects
# and the end files after the libraries; the board's libc glue
# (examples/vexpress-a9) and /dev refused.
function(rawcrypt_bare_metal_image target)
  separate_arguments(cpu_flags UNIX_COMMAND "${CMAKE_C_FLAGS}")
  set(start_files)
  foreach(file crti.o crtbegin.o rdimon-crt0.o crtend.o crtn.o)
    execute_process(COMMAND ${CMAKE_C_COMPILER} ${cpu_flags} -print-file-name=${file}
      OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND start_files ${path})
  endforeach()
  list(SUBLIST start_files 0 3 begin_files)
  list(SUBLIST start_files 3 2 end_files)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/examples/vexpress-a9/libc_board.c)
  set_target_properties(${target} PROPERTIES SUFFIX .elf C_STANDARD 11)
  target_link_options(${target} PRIVATE
    -nostartfiles ${begin_files} -Wl,-Ttext-segment=0x60010000 -Wl,--gc-sections -Wl,--wrap=_open)
  target_link_libraries(${target} PRIVATE -Wl,--start-group gcc c rdimon -Wl,--end-group ${end_files})
endfunction()
