# The Windows benchmark program (bench/win), built with the test programs
# but never run by CTest: scripts/bench.sh runs it under Wine. Included by
# windows.cmake after windows-tests.cmake, whose test signing it shares.
#
# bv-bench.exe is the bare pipe server and the rejected client; its
# test-signed copy signed/bv-bench-companion-app.exe is the driver, which
# the service accepts as a companion application (the name ends with
# "companion-app.exe" and the file is signed).
add_executable(bv-bench bench/win/bv_bench.cpp bench/win/bench_support.cpp)
target_link_libraries(bv-bench PRIVATE bv_win_test_support psapi)
bv_windows_program(bv-bench)

bv_test_signed_copy(bv-bench bv-bench-companion-app.exe signed-bench ALL)
# The driver starts these from the build folder.
add_dependencies(signed-bench brisvander-svc-testlogon vault-enclave)

# The flood probe (bench/win/event_flood_probe.cpp): 200 connections from an
# unsigned program whose name ends with companion-app.exe to the broker's
# pipe server with the service's event reporter. It prints its figures and
# fails when they break the flood rule; CTest runs it (a few seconds) with
# Wine's event channels collected (see scripts/wine-run.sh). It launches
# nothing, but the pipe server it links brings the logon call.
add_executable(event-flood-companion-app bench/win/event_flood_probe.cpp
  src/platform/win32/logon_user_substitute.cpp)
target_link_libraries(event-flood-companion-app PRIVATE bv_win_test_support)
bv_windows_program(event-flood-companion-app)
add_test(NAME win.event_flood_probe COMMAND event-flood-companion-app)
set_tests_properties(win.event_flood_probe PROPERTIES
  FIXTURES_REQUIRED wine_prefix RESOURCE_LOCK wine_prefix TIMEOUT 300
  ENVIRONMENT "${BV_WINE_TEST_ENVIRONMENT};BV_WINE_CHANNELS=err+eventlog,warn+eventlog,trace+eventlog,fixme+advapi")

# The availability probe: the signed reference client's waits while refused
# callers stay silent on the pipe; scripts/availability-probe.sh runs it.
add_executable(bv-availability-probe bench/win/availability_probe.cpp bench/win/bench_support.cpp)
target_link_libraries(bv-availability-probe PRIVATE bv_win_test_support psapi)
bv_windows_program(bv-availability-probe)
# The probe starts these from the build folder.
add_dependencies(bv-availability-probe brisvander-svc-testlogon vault-enclave signed-companion-app silent-client)
