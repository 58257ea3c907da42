# The same commit gives the same bytes wherever and whenever it is built, so anyone can check a
# signed release against a rebuild:
# - no link time in the PE header (the checksum and the .debug file's CRC in the program then
#   follow from the contents alone);
# - neither the source folder's nor the build folder's path in the debug information or in
#   __FILE__: both read as "." (the build folder's map comes last, so it wins when the build
#   folder lies inside the source folder);
# - sources and libraries are listed by name, never globbed, so the link order is fixed here.
set(VARNELO_C_OR_CXX "$<COMPILE_LANGUAGE:C,CXX>")
add_compile_options(
  "$<${VARNELO_C_OR_CXX}:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.>"
  "$<${VARNELO_C_OR_CXX}:-ffile-prefix-map=${CMAKE_BINARY_DIR}=.>")
add_link_options(-Wl,--no-insert-timestamp)

