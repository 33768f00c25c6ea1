# Windows build (MinGW-w64 cross build here, MSVC on Windows): the Win32
# platform layer, the service executable, the sibling tools and the tests
# that run against the real API (under Wine on Linux).
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

file(GLOB BV_WIN32_SOURCES CONFIGURE_DEPENDS src/platform/win32/*.cpp)
# The logon call is linked per executable: the shipping service gets the real
# LogonUserW, the test build a substitute from tools/.
list(FILTER BV_WIN32_SOURCES EXCLUDE REGEX "logon_user\\.cpp$")
list(FILTER BV_WIN32_SOURCES EXCLUDE REGEX "main_win32\\.cpp$")
add_library(bv_win32 STATIC ${BV_WIN32_SOURCES})
target_link_libraries(bv_win32 PUBLIC bv_core wintrust advapi32 userenv)
target_compile_definitions(bv_win32 PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)

add_executable(brisvander-svc src/main/main_win32.cpp src/platform/win32/logon_user.cpp)
target_link_libraries(brisvander-svc PRIVATE bv_win32)
if(MINGW)
  target_link_options(brisvander-svc PRIVATE -municode)
endif()

if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/windows-tests.cmake)
  include(${CMAKE_CURRENT_LIST_DIR}/windows-tests.cmake)
endif()
