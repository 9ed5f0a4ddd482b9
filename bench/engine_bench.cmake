add_executable(accept_bench ${CMAKE_CURRENT_LIST_DIR}/accept_bench.cpp)
target_link_libraries(accept_bench PRIVATE trovix_capture benchmark::benchmark)

add_library(trovix_bench_support STATIC
  ${CMAKE_CURRENT_LIST_DIR}/port_flood.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tcpdump_peer.cpp
  ${PROJECT_SOURCE_DIR}/tests/netns.cpp)

add_executable(burst_bench ${CMAKE_CURRENT_LIST_DIR}/burst_bench.cpp)
target_link_libraries(burst_bench PRIVATE trovix_capture trovix_bench_support)

find_package(Qt6 REQUIRED COMPONENTS Test)
add_executable(window_burst_bench ${CMAKE_CURRENT_LIST_DIR}/window_burst_bench.cpp)
target_link_libraries(window_burst_bench PRIVATE trovix_ui trovix_bench_support Qt6::Test)

add_executable(ring_vs_recv_bench ${CMAKE_CURRENT_LIST_DIR}/ring_vs_recv_bench.cpp)
target_link_libraries(ring_vs_recv_bench PRIVATE trovix_capture trovix_bench_support)

add_executable(cli_flood_bench ${CMAKE_CURRENT_LIST_DIR}/cli_flood_bench.cpp)
target_link_libraries(cli_flood_bench PRIVATE trovix_cli trovix_bench_support)

add_executable(soak_bench ${CMAKE_CURRENT_LIST_DIR}/soak_bench.cpp)
target_link_libraries(soak_bench PRIVATE trovix_ui trovix_bench_support Qt6::Test)

add_executable(window_flood_bench ${CMAKE_CURRENT_LIST_DIR}/window_flood_bench.cpp)
target_link_libraries(window_flood_bench PRIVATE trovix_ui trovix_bench_support Qt6::Test)

foreach(bench burst_bench window_burst_bench ring_vs_recv_bench soak_bench window_flood_bench)
  trovix_use_built_helper(${bench})
endforeach()

add_executable(file_open_bench ${CMAKE_CURRENT_LIST_DIR}/file_open_bench.cpp)
target_link_libraries(file_open_bench PRIVATE trovix_ui Qt6::Test)

add_executable(download_bench ${CMAKE_CURRENT_LIST_DIR}/download_bench.cpp)
target_link_libraries(download_bench PRIVATE trovix_ui trovix_bench_support Qt6::Test)
trovix_use_built_helper(download_bench)

add_executable(programs_bench ${CMAKE_CURRENT_LIST_DIR}/programs_bench.cpp)
target_link_libraries(programs_bench PRIVATE trovix_capture trovix_bench_support)
