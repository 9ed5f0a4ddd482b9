# Report benchmarks; included from bench/CMakeLists.txt. Not a test: run by hand.
if(NOT TARGET benchmark::benchmark)
  find_package(benchmark REQUIRED)
endif()
add_executable(report_bench ${CMAKE_CURRENT_LIST_DIR}/report_bench.cpp)
target_link_libraries(report_bench PRIVATE trovix_report benchmark::benchmark)
