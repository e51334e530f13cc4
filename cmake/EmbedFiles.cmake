# Writes a C++ source that holds files as byte arrays (cmake -P).
#   -DOUTPUT=<file.cpp> -DMODE=resources|files -DFILES=<a;b;...>
#   resources: FILES are "<id>=<path>" pairs; the source defines
#              TesseraCertificateDocuments(), the "CERTIFICATE" resources
#              (language 1033) of the module.
#   files:     FILES are paths; the source defines TesseraEmbeddedFiles(),
#              name (file name without directory) and bytes of each.
cmake_minimum_required(VERSION 3.25)
set(body "// Generated from the files listed below; do not edit.\n")
if(MODE STREQUAL "resources")
  string(APPEND body "#include <tessera/resources.h>\n\nnamespace {\n")
else()
  string(APPEND body "#include <cstddef>\n\nstruct TesseraEmbeddedFile {\n    const char* name;\n    const unsigned char* data;\n    size_t size;\n};\n\nnamespace {\n")
endif()
set(table "")
set(index 0)
foreach(item IN LISTS FILES)
  if(MODE STREQUAL "resources")
    string(REGEX MATCH "^([0-9]+)=(.*)$" _ "${item}")
    set(id ${CMAKE_MATCH_1})
    set(path ${CMAKE_MATCH_2})
  else()
    set(path ${item})
  endif()
  file(READ "${path}" hex HEX)
  file(SIZE "${path}" size)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){24})" "\\1\n    " bytes "${bytes}")
  get_filename_component(name "${path}" NAME)
  string(APPEND body "// ${name}\nconst unsigned char kData${index}[] = {\n    ${bytes}0x00};\n")
  if(MODE STREQUAL "resources")
    string(APPEND table "    {\"CERTIFICATE\", ${id}, 1033, kData${index}, ${size}},\n")
  else()
    string(APPEND table "    {\"${name}\", kData${index}, ${size}},\n")
  endif()
  math(EXPR index "${index} + 1")
endforeach()
if(MODE STREQUAL "resources")
  string(APPEND body "const TesseraDataResource kTable[] = {\n${table}};\n}  // namespace\n\n"
         "extern \"C\" const TesseraDataResource* TesseraCertificateDocuments(size_t* count) {\n"
         "    *count = sizeof kTable / sizeof kTable[0];\n    return kTable;\n}\n")
else()
  string(APPEND body "const TesseraEmbeddedFile kTable[] = {\n${table}};\n}  // namespace\n\n"
         "const TesseraEmbeddedFile* TesseraEmbeddedFiles(size_t* count) {\n"
         "    *count = sizeof kTable / sizeof kTable[0];\n    return kTable;\n}\n")
endif()
file(WRITE "${OUTPUT}.tmp" "${body}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
