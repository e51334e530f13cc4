# Compiler settings shared by every target of the project.
add_compile_definitions(UNICODE _UNICODE)
if(WIN32)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
endif()

set(TESSERA_WARNINGS -Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)
if(TESSERA_WERROR)
  list(APPEND TESSERA_WARNINGS -Werror)
endif()

# Applied to the project's own targets (not to third-party sources built in-tree).
function(tessera_target_defaults target)
  target_compile_options(${target} PRIVATE ${TESSERA_WARNINGS})
  if(WIN32)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()

# The fuzz build: coverage instrumentation and both sanitizers on every
# target; only the fuzz targets themselves link libFuzzer (tests/fuzz).
if(TESSERA_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TESSERA_FUZZ needs clang (CC=clang-14 CXX=clang++-14)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(TESSERA_SANITIZE AND NOT TESSERA_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Every program (deliverable or test) carries the module resources itself,
# as on Windows where they are compiled into the image.
function(tessera_link_resources target)
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:tessera_resources>)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/resources)
endfunction()
