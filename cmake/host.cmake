# Host build: the logic against the fake platform layer, tested with GoogleTest.
find_package(GTest REQUIRED)
include(gtest_groups)

file(GLOB BV_FAKE_SOURCES CONFIGURE_DEPENDS tests/fake/*.cpp)
file(GLOB BV_HOST_TESTS CONFIGURE_DEPENDS tests/host/*.cpp)
add_executable(host_tests ${BV_HOST_TESTS} ${BV_FAKE_SOURCES})
target_include_directories(host_tests PRIVATE tests)
target_link_libraries(host_tests PRIVATE bv_core GTest::gtest GTest::gtest_main)
# The portable logic of the companion and enclave libraries (libs/).
target_link_libraries(host_tests PRIVATE bv_companion bv_enclave)
bv_add_test_groups(host_tests host BV_HOST_TEST_NAMES ${BV_HOST_TESTS})

# Micro-benchmarks of bench/host (Google Benchmark, Debian package
# libbenchmark-dev); scripts/bench.sh builds and runs them.
option(BV_BENCH "Build the host micro-benchmarks of bench/host" OFF)
if(BV_BENCH)
  find_package(benchmark REQUIRED)
  add_executable(host_bench bench/host/micro_bench.cpp)
  target_link_libraries(host_bench PRIVATE bv_core benchmark::benchmark)
endif()
