# Warnings for our own code only; generated and third-party code is compiled without them.
set(QUR_WARNINGS -Wall -Wextra -Wno-missing-field-initializers)
if(QUR_WERROR)
  list(APPEND QUR_WARNINGS -Werror)
endif()

# qur_module(<name> [DEPS <targets>...] [SOURCES <extra sources>...])
# One static library per src/<module> folder, globbing its .cpp files (the
# engine/ and cli/ sub-folders are handled by their owners).
function(qur_module name)
  cmake_parse_arguments(ARG "" "" "DEPS;SOURCES;GLOB_DIRS" ${ARGN})
  set(dirs ${CMAKE_CURRENT_SOURCE_DIR} ${ARG_GLOB_DIRS})
  set(srcs ${ARG_SOURCES})
  foreach(d IN LISTS dirs)
    file(GLOB found CONFIGURE_DEPENDS ${d}/*.cpp ${d}/*.c)
    list(APPEND srcs ${found})
  endforeach()
  if(NOT srcs)
    # A module without sources yet is a header-only placeholder in the chain.
    add_library(qur_${name} INTERFACE)
    target_include_directories(qur_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(qur_${name} INTERFACE ${ARG_DEPS} Threads::Threads)
    add_library(qur::${name} ALIAS qur_${name})
    return()
  endif()
  add_library(qur_${name} STATIC ${srcs})
  add_library(qur::${name} ALIAS qur_${name})
  target_include_directories(qur_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(qur_${name} PRIVATE ${QUR_WARNINGS})
  target_link_libraries(qur_${name} PUBLIC ${ARG_DEPS} Threads::Threads)
endfunction()

# qur_test(<name> SOURCES ... DEPS ... [LABELS ...] [PROPERTIES <ctest property> <value> ...]):
# a GoogleTest executable registered with ctest.
# Suites whose name ends in "Concurrency" are the ones .ci/run also runs under TSan.
function(qur_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS;PROPERTIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${QUR_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} qur_test_support GTest::gtest GTest::gmock)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABELS}"
                       ${ARG_PROPERTIES} WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
endfunction()

# qur_fuzzer(<name> SOURCES ... DEPS ...): a libFuzzer target. The fuzz preset
# builds everything with clang, ASan+UBSan and -fsanitize=fuzzer-no-link.
function(qur_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${QUR_WARNINGS} -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
endfunction()

# qur_test_helpers: the helpers under tests/support that need no GoogleTest
# (child processes, header-only audio and event helpers), shared by the tests
# and the benchmarks. Either may define it first.
function(qur_add_test_helpers)
  if(TARGET qur_test_helpers)
    return()
  endif()
  add_library(qur_test_helpers STATIC ${PROJECT_SOURCE_DIR}/tests/support/child_process.cpp)
  target_include_directories(qur_test_helpers PUBLIC ${PROJECT_SOURCE_DIR}/tests
                                                     ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(qur_test_helpers PRIVATE ${QUR_WARNINGS})
  target_link_libraries(qur_test_helpers PUBLIC Threads::Threads)
  # The netem stand-in that impairs links inside test namespaces.
  target_compile_definitions(qur_test_helpers
    PUBLIC QUR_NETEM_TOOL="${PROJECT_SOURCE_DIR}/tests/support/nfq_netem.py")
endfunction()
