# The Windows benchmark program (bench/win), built with the test programs
# but never run by CTest: scripts/bench.sh runs it under Wine. Included by
# windows.cmake after windows-tests.cmake, whose test signing it shares.
#
# bv-bench.exe is the bare pipe server and the rejected client; its
# test-signed copy signed/bv-bench-companion-app.exe is the driver, which
# the service accepts as a companion application (the name ends with
# "companion-app.exe" and the file is signed).
add_executable(bv-bench bench/win/bv_bench.cpp bench/win/bench_support.cpp tests/win/support/process.cpp)
target_include_directories(bv-bench PRIVATE "${PROJECT_SOURCE_DIR}/src" "${PROJECT_SOURCE_DIR}/tests/win")
target_link_libraries(bv-bench PRIVATE bv_win32 psapi)
bv_windows_program(bv-bench)

set(BV_SIGNED_BENCH "${CMAKE_BINARY_DIR}/signed/bv-bench-companion-app.exe")
add_custom_command(
  OUTPUT "${BV_SIGNED_BENCH}"
  COMMAND bash "${PROJECT_SOURCE_DIR}/tools/sign.sh" "${CMAKE_BINARY_DIR}/test-signing"
          "$<TARGET_FILE:bv-bench>" "${BV_SIGNED_BENCH}"
  DEPENDS bv-bench "${PROJECT_SOURCE_DIR}/tools/sign.sh"
  COMMENT "Test-signing bv-bench.exe as bv-bench-companion-app.exe"
  VERBATIM)
add_custom_target(signed-bench ALL DEPENDS "${BV_SIGNED_BENCH}")
# The driver starts these from the build folder.
add_dependencies(signed-bench brisvander-svc-testlogon vault-enclave)
