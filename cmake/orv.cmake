# Compiler settings shared by every target, and the helper that declares one subsystem library.

add_compile_options(-Wall -Wextra -Wpedantic)

if(ORV_SANITIZE_ADDRESS AND ORV_SANITIZE_THREAD)
  message(FATAL_ERROR "AddressSanitizer and ThreadSanitizer cannot be combined")
endif()
if(ORV_SANITIZE_ADDRESS)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(ORV_SANITIZE_THREAD)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
if(ORV_COVERAGE)
  add_compile_options(--coverage -fprofile-update=atomic)
  add_link_options(--coverage)
endif()
if(ORV_BUILD_FUZZ)
  # Instrument the libraries too, so the fuzzer sees coverage inside the parsers.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# orv_subsystem(<name> DEPS <targets>...): one static library per folder under src/, built from
# every source file in that folder. Consumers include headers as "<folder>/<file>.h".
function(orv_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    # A folder whose work has not started yet still resolves for the folders that link it.
    add_library(orv_${name} INTERFACE)
    target_include_directories(orv_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(orv_${name} INTERFACE ${ARG_DEPS})
    return()
  endif()
  add_library(orv_${name} STATIC ${sources})
  target_include_directories(orv_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(orv_${name} PUBLIC ${ARG_DEPS})
endfunction()

# orv_test(<name> DEPS <targets>... [LOCK <resource>]): one GoogleTest program per folder under
# tests/. Tests of programs that share a LOCK never run at the same time under ctest -j.
function(orv_test name)
  cmake_parse_arguments(ARG "" "LOCK" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name}_tests ${sources})
  target_link_libraries(${name}_tests PRIVATE ${ARG_DEPS} orv_test_support GTest::gmock GTest::gtest_main)
  set(properties TIMEOUT 120)
  if(ARG_LOCK)
    list(APPEND properties RESOURCE_LOCK ${ARG_LOCK})
  endif()
  gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
endfunction()
