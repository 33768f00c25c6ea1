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

# The message table of the service's events (src/common/event_messages.mc,
# one message for each entry of event_kinds in src/common/events.h): the
# message compiler makes a resource script and the binary table it names,
# and the resource compiler links that into each service executable, which
# its event source names as EventMessageFile. MinGW-w64's windmc reads the
# file as UTF-8 (-C 65001). MSVC builds use the SDK's mc.exe and rc.exe
# instead; that path has not been built here.
enable_language(RC)
set(BV_MESSAGES_SOURCE "${PROJECT_SOURCE_DIR}/src/common/event_messages.mc")
set(BV_MESSAGES_DIR "${CMAKE_BINARY_DIR}/event-messages")
if(MINGW)
  find_program(BV_MESSAGE_COMPILER NAMES x86_64-w64-mingw32-windmc windmc REQUIRED)
  set(BV_MESSAGE_COMPILER_OPTIONS -C 65001)
else()
  find_program(BV_MESSAGE_COMPILER NAMES mc REQUIRED)
  set(BV_MESSAGE_COMPILER_OPTIONS "")
endif()
add_custom_command(
  OUTPUT "${BV_MESSAGES_DIR}/event_messages.rc" "${BV_MESSAGES_DIR}/event_messages.h" "${BV_MESSAGES_DIR}/MSG00409.bin"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${BV_MESSAGES_DIR}"
  COMMAND "${BV_MESSAGE_COMPILER}" ${BV_MESSAGE_COMPILER_OPTIONS} -h "${BV_MESSAGES_DIR}" -r "${BV_MESSAGES_DIR}"
          "${BV_MESSAGES_SOURCE}"
  DEPENDS "${BV_MESSAGES_SOURCE}"
  COMMENT "Compiling the message table of the service's events"
  VERBATIM)
# The script names the table by its file name alone: found beside it.
set_source_files_properties("${BV_MESSAGES_DIR}/event_messages.rc" PROPERTIES
  INCLUDE_DIRECTORIES "${BV_MESSAGES_DIR}"
  OBJECT_DEPENDS "${BV_MESSAGES_DIR}/MSG00409.bin")
# Compiled once, linked into both service executables.
add_library(bv_event_messages OBJECT "${BV_MESSAGES_DIR}/event_messages.rc")

# The service with the logon stand-in of test builds (see the file's comment).
add_executable(brisvander-svc-testlogon src/main/main_win32.cpp src/platform/win32/logon_user_substitute.cpp)
target_link_libraries(brisvander-svc-testlogon PRIVATE bv_win32 bv_event_messages)
bv_windows_program(brisvander-svc-testlogon)

add_executable(brisvander-svc src/main/main_win32.cpp src/platform/win32/logon_user.cpp)
target_link_libraries(brisvander-svc PRIVATE bv_win32 bv_event_messages)
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
