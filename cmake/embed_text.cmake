# Writes a C++ source that returns files' bytes as std::string_view, for
# what a program serves from itself. Run as a script:
#   cmake -DOUTPUT=out.cpp -DNAMESPACE=ns -DFUNCTIONS="Name1;Name2" -DFILES="a;b" -P embed_text.cmake
list(LENGTH FUNCTIONS count)
math(EXPR last "${count} - 1")
set(text "// Made by cmake/embed_text.cmake from the files it names; do not edit.\n#include <string_view>\n\nnamespace ${NAMESPACE} {\n")
foreach(i RANGE ${last})
  list(GET FUNCTIONS ${i} function)
  list(GET FILES ${i} file)
  file(READ "${file}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND text "namespace {\nconst char ${function}_BYTES[] = {${bytes}};\n}\n")
  string(APPEND text "std::string_view ${function}()\n{\n    return {${function}_BYTES, sizeof ${function}_BYTES};\n}\n")
endforeach()
string(APPEND text "}  // namespace ${NAMESPACE}\n")
file(WRITE "${OUTPUT}.tmp" "${text}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
