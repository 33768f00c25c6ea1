# The soak program (soak/): a long run against the service installed in a
# Wine prefix, started by scripts/soak.sh. It is no CTest test: it takes
# minutes and needs an installed, running service. The service serves only
# a signed program whose name ends with companion-app.exe, so the build
# test-signs a copy: <build>/signed/bv-soak-companion-app.exe.
add_executable(bv-soak soak/soak.cpp soak/pipe_client.cpp soak/requests.cpp tests/win/support/process.cpp)
target_include_directories(bv-soak PRIVATE "${PROJECT_SOURCE_DIR}" "${PROJECT_SOURCE_DIR}/src" "${PROJECT_SOURCE_DIR}/tests/win")
target_link_libraries(bv-soak PRIVATE psapi advapi32)
bv_windows_program(bv-soak)

set(BV_SIGNED_SOAK "${CMAKE_BINARY_DIR}/signed/bv-soak-companion-app.exe")
add_custom_command(
  OUTPUT "${BV_SIGNED_SOAK}"
  COMMAND bash "${PROJECT_SOURCE_DIR}/tools/sign.sh" "${CMAKE_BINARY_DIR}/test-signing"
          "$<TARGET_FILE:bv-soak>" "${BV_SIGNED_SOAK}"
  DEPENDS bv-soak "${PROJECT_SOURCE_DIR}/tools/sign.sh"
  COMMENT "Test-signing bv-soak.exe as bv-soak-companion-app.exe"
  VERBATIM)
add_custom_target(signed-bv-soak DEPENDS "${BV_SIGNED_SOAK}")
