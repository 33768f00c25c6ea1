# The companion and enclave libraries as the installed CMake package
# Brisvander. Included by libs.cmake for the Windows build.
#
#   cmake --install build/windows --prefix DIR
#
# puts the C headers in DIR/include/brisvander/, the static libraries in
# DIR/lib/ and the package configuration in DIR/lib/cmake/Brisvander/, so
# that another project builds with
#
#   find_package(Brisvander CONFIG REQUIRED)
#   target_link_libraries(my_app PRIVATE Brisvander::companion)  # or Brisvander::enclave
#
# The targets carry the system libraries they need; being C++ inside, they
# need CXX enabled in the project that links them (BrisvanderConfig.cmake
# says so when it is not).

# The installed headers must be C on their own: each is compiled as strict
# C99, alone, with every warning an error.
enable_language(C)
add_library(bv_c_header_check OBJECT libs/header_check/companion_h.c libs/header_check/enclave_h.c)
target_include_directories(bv_c_header_check PRIVATE libs/include)
set_target_properties(bv_c_header_check PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
if(NOT MSVC)
  target_compile_options(bv_c_header_check PRIVATE -Wall -Wextra -Wpedantic -Werror)
endif()

set_target_properties(bv_companion PROPERTIES OUTPUT_NAME brisvander-companion EXPORT_NAME companion)
set_target_properties(bv_enclave PROPERTIES OUTPUT_NAME brisvander-enclave EXPORT_NAME enclave)

install(TARGETS bv_companion bv_enclave EXPORT BrisvanderTargets ARCHIVE DESTINATION lib)
install(FILES libs/include/brisvander/companion.h libs/include/brisvander/enclave.h
  DESTINATION include/brisvander)
install(EXPORT BrisvanderTargets NAMESPACE Brisvander:: DESTINATION lib/cmake/Brisvander)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/BrisvanderConfig.cmake DESTINATION lib/cmake/Brisvander)
