# The package configuration of Brisvander: the static libraries
# Brisvander::companion (brisvander/companion.h) and Brisvander::enclave
# (brisvander/enclave.h), with the system libraries they link.
if(NOT CMAKE_CXX_COMPILER_LOADED)
  set(Brisvander_FOUND FALSE)
  set(Brisvander_NOT_FOUND_MESSAGE "Brisvander's libraries are C++ inside: enable CXX in the project that \
links them, for instance project(my_app LANGUAGES C CXX)")
  return()
endif()
include("${CMAKE_CURRENT_LIST_DIR}/BrisvanderTargets.cmake")
