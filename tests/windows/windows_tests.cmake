# The tests of the Windows build, cross-built and run under Wine (the
# toolchain's CMAKE_CROSSCOMPILING_EMULATOR) by ctest, one add_test per
# binary: Wine starts slowly, and listing tests first would start it again.
# GoogleTest is built from its sources; find_package(GTest) would find the
# host's libraries.
set(KELPARC_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${KELPARC_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# The unit tests that touch no operating system.
add_executable(unit_tests_win
  ${CMAKE_SOURCE_DIR}/tests/unit/messages_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/unit/options_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/unit/select_test.cpp)
target_link_libraries(unit_tests_win PRIVATE kelparc_core GTest::gtest_main)
add_test(NAME unit_win COMMAND unit_tests_win)

add_executable(platform_windows_tests ${CMAKE_CURRENT_SOURCE_DIR}/windows/platform_windows_test.cpp)
target_link_libraries(platform_windows_tests PRIVATE kelparc_core GTest::gtest_main)
target_include_directories(platform_windows_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
add_test(NAME platform_windows COMMAND platform_windows_tests)
set_tests_properties(unit_win platform_windows PROPERTIES TIMEOUT 300)

# The whole-program tests are host programs (they fork, use pseudo-terminals
# and compare files on the Linux side): the Linux build's cli_tests run
# kelparc.exe and the Windows prompt and seam probes through the Wine loader.  Build the
# Linux tree first; KELPARC_HOST_CLI_TESTS names its cli_tests.
add_executable(prompt_probe ${CMAKE_SOURCE_DIR}/tests/tools/prompt_probe.cpp)
target_link_libraries(prompt_probe PRIVATE kelparc_core)
add_executable(seam_probe ${CMAKE_SOURCE_DIR}/tests/tools/seam_probe.cpp)
target_link_libraries(seam_probe PRIVATE kelparc_core)
set(KELPARC_HOST_CLI_TESTS ${CMAKE_SOURCE_DIR}/build/tests/cli_tests CACHE FILEPATH
    "The Linux build's cli_tests, run against kelparc.exe under Wine")
add_test(NAME cli_wine COMMAND ${KELPARC_HOST_CLI_TESTS})
set_tests_properties(cli_wine PROPERTIES TIMEOUT 1200 ENVIRONMENT
  "KELPARC_PROGRAM=$<TARGET_FILE:kelparc>;KELPARC_PROMPT_PROBE=$<TARGET_FILE:prompt_probe>;KELPARC_SEAM_PROBE=$<TARGET_FILE:seam_probe>;KELPARC_RUNNER=${CMAKE_CROSSCOMPILING_EMULATOR}")
