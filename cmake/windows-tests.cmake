# Windows-side tests and the test-signed companion
# application. Included by windows.cmake.
#
# Every test program runs under Wine through CMAKE_CROSSCOMPILING_EMULATOR
# (scripts/wine-run.sh), in a Wine prefix of the test run's own: the
# wine_prefix fixture makes it fresh before the first Windows test and ends
# its processes after the last one. The tests share that prefix's services
# and registry, so they run one at a time (RESOURCE_LOCK wine_prefix).

set(BV_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix" CACHE PATH
  "Wine prefix of the Windows test runs (a WINEPREFIX in the environment takes its place)")

# --- GoogleTest, built from Debian's sources with this toolchain ----------
set(BV_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
  "GoogleTest sources (Debian package googletest), built for the Windows test programs")
if(NOT EXISTS "${BV_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
  message(FATAL_ERROR "No GoogleTest sources in ${BV_GOOGLETEST_SOURCE_DIR}: install the package googletest")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory("${BV_GOOGLETEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
# The project's warning flags are meant for the project's code.
set_property(TARGET gtest gtest_main PROPERTY COMPILE_OPTIONS -w)
set_property(TARGET gtest PROPERTY INTERFACE_SYSTEM_INCLUDE_DIRECTORIES
  $<TARGET_PROPERTY:gtest,INTERFACE_INCLUDE_DIRECTORIES>)

# --- The test-support library -------------------------------------------------
# The helpers of tests/win/support, built once for the Windows test program,
# the soak and the bench: one pipe client, one child starter, one set of
# Service Control Manager helpers, one clock. Its users include
# "support/..." through its public include folder.
file(GLOB BV_WIN_TEST_SUPPORT CONFIGURE_DEPENDS tests/win/support/*.cpp)
# Stand-ins and the squatter are programs of their own (below).
list(FILTER BV_WIN_TEST_SUPPORT EXCLUDE REGEX "(_standin|_squatter|_silent_client)\\.cpp$")
add_library(bv_win_test_support STATIC ${BV_WIN_TEST_SUPPORT})
target_include_directories(bv_win_test_support PUBLIC tests/win)
# The in-process pipe server (e2e_server.cpp) runs the broker on the Win32
# layer; whoever links it brings the logon call, as every executable does.
target_link_libraries(bv_win_test_support PUBLIC bv_win32 psapi)

# A stand-in for Windows PowerShell, which Wine lacks: the end-to-end tests
# of --setup-m5 put it where the service starts its interpreter (and, as a
# decoy, beside a copy of the service). It decodes the script with crypt32.
add_executable(powershell-standin tests/win/support/e2e_service_powershell_standin.cpp)
target_link_libraries(powershell-standin PRIVATE bv_win_test_support crypt32)
bv_windows_program(powershell-standin)

# An enclave that starts a process of its own and ignores its shutdown
# event: the end-to-end tests install it as vault-enclave.exe to see what
# stopping an enclave ends.
add_executable(enclave-standin tests/win/support/e2e_enclave_standin.cpp)
target_link_libraries(enclave-standin PRIVATE bv_win_test_support)
bv_windows_program(enclave-standin)

# An ordinary process that owns, or tries to take, the service's pipe name:
# the stand-in server that the reference client must refuse, and the probe of
# whether the running service ever leaves its name free.
add_executable(pipe-squatter tests/win/support/e2e_pipe_squatter.cpp)
target_link_libraries(pipe-squatter PRIVATE bv_win_test_support)
bv_windows_program(pipe-squatter)

# A client that connects and sends nothing, once or over and over: how long
# the service lets a silent caller hold its only instance, for a caller it
# refuses (this build) and for one it verifies (the signed copy below).
add_executable(silent-client tests/win/support/e2e_silent_client.cpp)
target_link_libraries(silent-client PRIVATE bv_win_test_support)
bv_windows_program(silent-client)

# --- Test signing ------------------------------------------------------------
# A throwaway CA and code-signing key, made in the build tree by tools/sign.sh
# on the first signing step, sign copies of programs that the service must
# accept as companion applications.
#
# bv_test_signed_copy(<target> <output name> <custom target name> [ALL])
#   test-signs <target>'s executable as <build>/signed/<output name>, made by
#   the custom target <custom target name> (part of the default build with
#   ALL).
function(bv_test_signed_copy target output_name custom_target)
  cmake_parse_arguments(PARSE_ARGV 3 arg "ALL" "" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "bv_test_signed_copy: unexpected arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  set(signed "${CMAKE_BINARY_DIR}/signed/${output_name}")
  add_custom_command(
    OUTPUT "${signed}"
    COMMAND bash "${PROJECT_SOURCE_DIR}/tools/sign.sh" "${CMAKE_BINARY_DIR}/test-signing"
            "$<TARGET_FILE:${target}>" "${signed}"
    DEPENDS ${target} "${PROJECT_SOURCE_DIR}/tools/sign.sh"
    COMMENT "Test-signing ${target}.exe as signed/${output_name}"
    VERBATIM)
  if(arg_ALL)
    add_custom_target(${custom_target} ALL DEPENDS "${signed}")
  else()
    add_custom_target(${custom_target} DEPENDS "${signed}")
  endif()
endfunction()

# <build>/signed/companion-app.exe: the reference client as the service
# accepts it.
bv_test_signed_copy(companion-app companion-app.exe signed-companion-app ALL)
# <build>/signed/silent-companion-app.exe: the silent client as a caller that
# the service verifies.
bv_test_signed_copy(silent-client silent-companion-app.exe signed-silent-client ALL)

# --- The test program ----------------------------------------------------------
file(GLOB BV_WIN_TEST_SOURCES CONFIGURE_DEPENDS tests/win/*_test.cpp)
add_executable(win_tests ${BV_WIN_TEST_SOURCES} src/platform/win32/logon_user_substitute.cpp)
target_link_libraries(win_tests PRIVATE bv_win_test_support gtest gtest_main)
# The tests start these programs from the folder they run in.
add_dependencies(win_tests companion-app vault-enclave signed-companion-app brisvander-svc brisvander-svc-testlogon
  powershell-standin pipe-squatter enclave-standin silent-client signed-silent-client)

# --- Tests under Wine ------------------------------------------------------------
set(BV_WINE_TEST_ENVIRONMENT "BV_WINE_PREFIX=${BV_WINE_PREFIX}")

add_test(NAME wine_prefix_setup COMMAND bash "${PROJECT_SOURCE_DIR}/scripts/wine-prefix.sh" create)
add_test(NAME wine_prefix_cleanup COMMAND bash "${PROJECT_SOURCE_DIR}/scripts/wine-prefix.sh" kill)
set_tests_properties(wine_prefix_setup PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 300)
set_tests_properties(wine_prefix_cleanup PROPERTIES FIXTURES_CLEANUP wine_prefix TIMEOUT 60)
set_tests_properties(wine_prefix_setup wine_prefix_cleanup PROPERTIES
  RESOURCE_LOCK wine_prefix ENVIRONMENT "${BV_WINE_TEST_ENVIRONMENT}")

# One CTest test per test file (gtest_discover_tests would list the tests
# through Wine while CTest loads, before the fixture has made the prefix).
include(gtest_groups)
bv_add_test_groups(win_tests win BV_WIN_TEST_NAMES ${BV_WIN_TEST_SOURCES})
set_tests_properties(${BV_WIN_TEST_NAMES} PROPERTIES
  FIXTURES_REQUIRED wine_prefix RESOURCE_LOCK wine_prefix ENVIRONMENT "${BV_WINE_TEST_ENVIRONMENT}")
# The service's events, as Wine's ReportEventW prints them on its debug
# channels: scripts/wine-run.sh collects them for this test (see there).
set_property(TEST win.e2e_service_events APPEND PROPERTY ENVIRONMENT
  "BV_WINE_CHANNELS=err+eventlog,warn+eventlog,trace+eventlog,fixme+advapi")

# Console output on a real console (a pseudo-terminal under Wine) and
# redirected, from the shipping executable.
add_test(NAME win.console_code_page
  COMMAND bash "${PROJECT_SOURCE_DIR}/tests/win/console_code_page_test.sh" "$<TARGET_FILE:brisvander-svc>")
set_tests_properties(win.console_code_page PROPERTIES
  FIXTURES_REQUIRED wine_prefix RESOURCE_LOCK wine_prefix ENVIRONMENT "${BV_WINE_TEST_ENVIRONMENT}" TIMEOUT 120)

# --- The companion and enclave libraries through their C interface ----------
# Two C programs over brisvander/companion.h and brisvander/enclave.h: the
# test-signed bv-c-companion-app.exe asks the service for an enclave, and
# bv-c-enclave.exe, installed as a vault-enclave.exe, begins from the
# service's hand-over. The tests (tests/win/libs_*_test.cpp) also call the
# companion's C interface from win_tests itself.
add_executable(bv-c-companion tests/win/support/c_companion_driver.c)
target_link_libraries(bv-c-companion PRIVATE bv_companion)
bv_windows_program(bv-c-companion)
bv_test_signed_copy(bv-c-companion bv-c-companion-app.exe signed-bv-c-companion ALL)
add_executable(bv-c-enclave tests/win/support/c_enclave_driver.c)
target_link_libraries(bv-c-enclave PRIVATE bv_enclave)
bv_windows_program(bv-c-enclave)
target_link_libraries(win_tests PRIVATE bv_companion bv_enclave)
add_dependencies(win_tests bv-c-companion signed-bv-c-companion bv-c-enclave)

# --- The installed package and the README's examples --------------------------
# package_examples_build installs this build, builds the README's two
# examples against the installed package alone and test-signs the companion;
# win.package_examples runs them against the service.
add_test(NAME package_examples_build
  COMMAND bash "${PROJECT_SOURCE_DIR}/tests/win/package_examples_build.sh" "${PROJECT_SOURCE_DIR}" "${CMAKE_BINARY_DIR}")
set_tests_properties(package_examples_build PROPERTIES FIXTURES_SETUP package_examples TIMEOUT 300)
set_tests_properties(win.package_examples PROPERTIES FIXTURES_REQUIRED "wine_prefix;package_examples")
