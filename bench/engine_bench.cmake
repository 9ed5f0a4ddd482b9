add_executable(accept_bench ${CMAKE_CURRENT_LIST_DIR}/accept_bench.cpp)
target_link_libraries(accept_bench PRIVATE trovix_capture benchmark::benchmark)

add_executable(burst_bench ${CMAKE_CURRENT_LIST_DIR}/burst_bench.cpp ${PROJECT_SOURCE_DIR}/tests/netns.cpp)
target_link_libraries(burst_bench PRIVATE trovix_capture)
