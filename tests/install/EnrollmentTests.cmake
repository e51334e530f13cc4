# Whole enrollments through the built host, in three phases with the test CA
# (OpenSSL, on the build machine) between them. The phases share one
# exchange directory and one key and certificate store.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_path(TESSERA_NLOHMANN_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(enrollment_json_include ${TESSERA_NLOHMANN_INCLUDE})
if(WIN32)
  file(COPY ${TESSERA_NLOHMANN_INCLUDE}/nlohmann DESTINATION ${CMAKE_CURRENT_BINARY_DIR}/json-include)
  set(enrollment_json_include ${CMAKE_CURRENT_BINARY_DIR}/json-include)
endif()

add_executable(tessera_enrollment_phases EnrollmentPhases.cpp EnrollmentChecks.cpp
               ${PROJECT_SOURCE_DIR}/tests/scenarios/HostFrontEnd.cpp)
tessera_target_defaults(tessera_enrollment_phases)
tessera_link_resources(tessera_enrollment_phases)
target_include_directories(tessera_enrollment_phases PRIVATE ${PROJECT_SOURCE_DIR}/tests/scenarios)
target_include_directories(tessera_enrollment_phases SYSTEM PRIVATE ${enrollment_json_include})
target_link_libraries(tessera_enrollment_phases PRIVATE tessera_core tessera_host_process GTest::gtest
                      GTest::gtest_main)
target_compile_definitions(tessera_enrollment_phases PRIVATE TESSERA_HOST_PATH="$<TARGET_FILE:tessera-host>")
add_dependencies(tessera_enrollment_phases tessera-host)

set(exchange ${CMAKE_CURRENT_BINARY_DIR}/enrollment)
# Windows programs under Wine reach the build machine's files through Z:.
set(exchange_for_tests ${exchange})
if(WIN32)
  set(exchange_for_tests Z:${exchange})
endif()
set(stores "TESSERA_ENROLLMENT_DIR=${exchange_for_tests};TESSERA_STORE_DIR=${exchange}/store;TESSERA_MACHINE_STORE_DIR=${exchange}/machine")
add_test(NAME enrollment_clean COMMAND ${CMAKE_COMMAND} -E rm -rf ${exchange})
add_test(NAME enrollment_request COMMAND tessera_enrollment_phases --gtest_color=no)
add_test(NAME enrollment_ca COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/test_ca.py issue-all ${exchange})
add_test(NAME enrollment_install COMMAND tessera_enrollment_phases --gtest_color=no)
set_tests_properties(enrollment_clean PROPERTIES FIXTURES_SETUP enrollment_clean_done)
set_tests_properties(enrollment_request PROPERTIES FIXTURES_REQUIRED enrollment_clean_done
                     FIXTURES_SETUP enrollment_requested ENVIRONMENT "TESSERA_ENROLLMENT_PHASE=request;${stores}")
set_tests_properties(enrollment_ca PROPERTIES FIXTURES_REQUIRED enrollment_requested
                     FIXTURES_SETUP enrollment_issued)
set_tests_properties(enrollment_install PROPERTIES FIXTURES_REQUIRED "enrollment_requested;enrollment_issued"
                     ENVIRONMENT "TESSERA_ENROLLMENT_PHASE=install;${stores}")
# The Tessera providers' DLL, where the build has it, is registered first.
if(TARGET tessera-csp)
  set_property(TEST enrollment_request enrollment_install APPEND PROPERTY FIXTURES_REQUIRED tessera-csp)
endif()
set_tests_properties(enrollment_clean enrollment_request enrollment_ca enrollment_install PROPERTIES
                     RESOURCE_LOCK enrollment_exchange)
