# The programs at the service's two ends, as libraries (libs/): the
# companion side, which asks the service for an enclave and checks that the
# service is what it asks, and the enclave side, which reads and checks
# what the service hands an enclave. Each is one static library with a C
# interface (libs/include/brisvander/).
#
# Their logic is portable and built in every configuration (the host tests
# drive it with fakes, the fuzz targets take it apart); the Windows build
# adds the Win32 implementations and the C interfaces, and installs both
# libraries as the CMake package Brisvander (cmake/libs-package.cmake).
# They use the project's header-only helpers of src/ (common/names.h,
# platform/win32/unique_handle.h) and compile in some of its leaves (the
# UTF conversions, the White_Space property, the wiping of secrets), but
# nothing of the service itself.
set(BV_LEAF_SOURCES src/text/utf.cpp src/text/white_space.cpp src/secret/secret.cpp)
set(BV_COMPANION_SOURCES libs/companion/exchange.cpp libs/companion/request.cpp ${BV_LEAF_SOURCES})
set(BV_ENCLAVE_SOURCES libs/enclave/command_line.cpp libs/enclave/hand_over.cpp ${BV_LEAF_SOURCES})
if(WIN32)
  list(APPEND BV_COMPANION_SOURCES
    libs/companion/win32/companion_system_win32.cpp libs/companion/win32/companion_c.cpp)
  list(APPEND BV_ENCLAVE_SOURCES
    libs/enclave/win32/enclave_system_win32.cpp libs/enclave/win32/enclave_c.cpp)
endif()

foreach(side IN ITEMS companion enclave)
  string(TOUPPER "${side}" upper)
  add_library(bv_${side} STATIC ${BV_${upper}_SOURCES})
  # The installed package exposes the C headers alone; the project's own
  # programs (the reference client, the sample enclave, the tests) use the
  # C++ logic behind them as well.
  target_include_directories(bv_${side} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/libs/include>
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/libs>
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/src>
    $<INSTALL_INTERFACE:include>)
  if(WIN32)
    target_compile_definitions(bv_${side} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
  endif()
endforeach()

if(WIN32)
  # BCryptGenRandom, and the Service Control Manager for the server check.
  target_link_libraries(bv_companion PUBLIC bcrypt advapi32)
  include(${CMAKE_CURRENT_LIST_DIR}/libs-package.cmake)
endif()
