# One version for everything: project(VERSION ...) is the only place it is
# written by hand.
#  - C++ sources and Windows resource scripts include the generated
#    TesseraVersion.h;
#  - the extension's manifest, which the browser loads straight from the
#    source tree, cannot be generated into the build tree, so configuring
#    brings its version in line with the project's (and says so when it
#    changed it); the page library's build takes its version from there.
if(NOT PROJECT_VERSION_TWEAK)
  set(PROJECT_VERSION_TWEAK 0)
endif()
set(TESSERA_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/TesseraVersion.h.in ${TESSERA_GENERATED_DIR}/TesseraVersion.h @ONLY)
include_directories(${TESSERA_GENERATED_DIR})

# tessera_sync_version(FILE REGEX): the first match of REGEX in FILE must
# have three groups: text before the version, the version, text after.
function(tessera_sync_version file regex)
  file(READ ${file} text)
  string(REGEX MATCH "${regex}" match "${text}")
  if(NOT match)
    message(FATAL_ERROR "${file}: no version found (expected ${regex})")
  endif()
  if(NOT CMAKE_MATCH_2 STREQUAL PROJECT_VERSION)
    string(REPLACE "${match}" "${CMAKE_MATCH_1}${PROJECT_VERSION}${CMAKE_MATCH_3}" text "${text}")
    file(WRITE ${file} "${text}")
    message(STATUS "Version of ${file} set to ${PROJECT_VERSION}")
  endif()
endfunction()

set(TESSERA_SOURCE_VERSIONED
    "browser/extension/manifest.json|(\n  \"version\": \")([0-9.]+)(\")")
foreach(entry IN LISTS TESSERA_SOURCE_VERSIONED)
  string(FIND "${entry}" "|" bar)
  string(SUBSTRING "${entry}" 0 ${bar} file)
  math(EXPR bar "${bar} + 1")
  string(SUBSTRING "${entry}" ${bar} -1 regex)
  tessera_sync_version(${PROJECT_SOURCE_DIR}/${file} "${regex}")
endforeach()
