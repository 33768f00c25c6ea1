# The soak program (soak/): a long run against the service installed in a
# Wine prefix, started by scripts/soak.sh. It is no CTest test: it takes
# minutes and needs an installed, running service. The service serves only
# a signed program whose name ends with companion-app.exe, so the build
# test-signs a copy: <build>/signed/bv-soak-companion-app.exe.
file(GLOB BV_SOAK_SOURCES CONFIGURE_DEPENDS soak/*.cpp)
add_executable(bv-soak ${BV_SOAK_SOURCES})
target_include_directories(bv-soak PRIVATE "${PROJECT_SOURCE_DIR}")
target_link_libraries(bv-soak PRIVATE bv_win_test_support psapi)
bv_windows_program(bv-soak)

bv_test_signed_copy(bv-soak bv-soak-companion-app.exe signed-bv-soak)
