# Helpers shared by every layer. Each layer folder holds its sources directly
# and its tests in a tests/ subfolder; files are picked up by glob so that a
# new class pair needs no build-file edit.

# kwo_library(<name> [DEPS <targets>...])
# A static library from the *.cxx files of the current folder, with the
# project root on the include path (headers are included as "base/plat/X.h").
function(kwo_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cxx")
  if(NOT sources)
    set(sources "${PROJECT_SOURCE_DIR}/cmake/empty.cxx")
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}")
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  if(KWO_TESTS AND IS_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}/tests")
    kwo_test(${name}_tests DIR "${CMAKE_CURRENT_SOURCE_DIR}/tests" DEPS ${name})
  endif()
endfunction()

# kwo_test(<name> DIR <folder> DEPS <targets>...)
# One GoogleTest binary from every *.cxx in the folder, registered with CTest.
function(kwo_test name)
  cmake_parse_arguments(ARG "" "DIR" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${ARG_DIR}/*.cxx")
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} kwo_testsupport GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    KWO_BINARY_DIR="${PROJECT_BINARY_DIR}" KWO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
