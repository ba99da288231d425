# Writes the image's symbol table for its loader, as an RTOS image keeps
# one: every symbol a module loaded at run time leaves undefined, by name,
# with its address filled in by the linker (which also pulls each one into
# the image, used or not). A module needing a name the table lacks is
# refused by name when it is loaded.
# Compiled with -fno-builtin: every name is declared as data.
# cmake -DNM=<nm> -DOBJECT=<module.o> -DOUTPUT=<file.c> -P symbol_table.cmake
execute_process(COMMAND ${NM} -u ${OBJECT} OUTPUT_VARIABLE listing COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "U [A-Za-z_][A-Za-z0-9_]*" undefined "${listing}")
list(TRANSFORM undefined REPLACE "^U " "")
list(SORT undefined)
set(declarations "")
set(entries "")
foreach(name IN LISTS undefined)
  string(APPEND declarations "extern char ${name}[];\n")
  string(APPEND entries "    {\"${name}\", ${name}},\n")
endforeach()
list(LENGTH undefined count)
get_filename_component(object_name ${OBJECT} NAME)
file(WRITE ${OUTPUT}.new "/* Generated from ${object_name}'s undefined symbols: the image's symbol table,
 * sorted by name. */
#include \"image_symbols.h\"

${declarations}
const struct image_symbol image_symbols[] = {
${entries}};
const unsigned image_symbol_count = ${count};
")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
