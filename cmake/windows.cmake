# Windows build (MinGW-w64 cross build here, MSVC on Windows): the Win32
# platform layer, the service executable, the sibling tools and the tests
# that run against the real API (under Wine on Linux).
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

file(GLOB BV_WIN32_SOURCES CONFIGURE_DEPENDS src/platform/win32/*.cpp)
# The logon call is linked per executable: the shipping service gets the real
# LogonUserW (logon_user.cpp), the test builds the substitute beside it
# (logon_user_substitute.cpp).
list(FILTER BV_WIN32_SOURCES EXCLUDE REGEX "logon_user(_substitute)?\\.cpp$")
list(FILTER BV_WIN32_SOURCES EXCLUDE REGEX "main_win32\\.cpp$")
add_library(bv_win32 STATIC ${BV_WIN32_SOURCES})
target_link_libraries(bv_win32 PUBLIC bv_core wintrust advapi32 userenv)
target_compile_definitions(bv_win32 PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)

function(bv_windows_program target)
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
  if(MINGW)
    target_link_options(${target} PRIVATE -municode)
  endif()
endfunction()

# The sibling programs are thin programs over the companion and enclave
# libraries (libs/, cmake/libs.cmake), with the project's handle owners and
# fixed names (header-only); nothing else of the project.
add_executable(companion-app tools/companion_app.cpp)
target_link_libraries(companion-app PRIVATE bv_companion)
bv_windows_program(companion-app)

add_executable(vault-enclave tools/vault_enclave.cpp)
target_link_libraries(vault-enclave PRIVATE bv_enclave)
bv_windows_program(vault-enclave)

# The service with the logon stand-in of test builds (see the file's comment).
add_executable(brisvander-svc-testlogon src/main/main_win32.cpp src/platform/win32/logon_user_substitute.cpp)
target_link_libraries(brisvander-svc-testlogon PRIVATE bv_win32)
bv_windows_program(brisvander-svc-testlogon)

add_executable(brisvander-svc src/main/main_win32.cpp src/platform/win32/logon_user.cpp)
target_link_libraries(brisvander-svc PRIVATE bv_win32)
bv_windows_program(brisvander-svc)


# The test programs need GoogleTest sources, and their test signing and Wine
# prefix need bash, openssl and osslsigncode: on by default only for the cross
# build here.
option(BV_WINDOWS_TESTS "Build the Windows test programs and run them under Wine" ${CMAKE_CROSSCOMPILING})
if(BV_WINDOWS_TESTS)
  include(${CMAKE_CURRENT_LIST_DIR}/windows-tests.cmake)
  # The soak and the benchmarks: built with the tests, run by their scripts.
  include(${CMAKE_CURRENT_LIST_DIR}/soak.cmake)
  include(${CMAKE_CURRENT_LIST_DIR}/windows-bench.cmake)
endif()
