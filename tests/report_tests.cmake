# Report tests; included from tests/CMakeLists.txt, where GTest and GoogleTest are loaded.
set(TROVIX_REPORT_TESTS
  report_items_test
  report_icmp_test
  report_igmp_test
  report_packet_report_test
  report_packet_row_test
  report_tcp_test
  report_udp_test
)
foreach(test ${TROVIX_REPORT_TESTS})
  add_executable(${test} ${CMAKE_CURRENT_LIST_DIR}/${test}.cpp)
  target_link_libraries(${test} PRIVATE trovix_report GTest::gtest_main)
  gtest_discover_tests(${test} DISCOVERY_MODE PRE_TEST)
endforeach()

# The fuzz target's corpus, replayed as an ordinary test in every build.
add_executable(report_fuzz_replay
  ${CMAKE_CURRENT_LIST_DIR}/fuzz/report_fuzz.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fuzz/replay_main.cpp)
target_link_libraries(report_fuzz_replay PRIVATE trovix_report)
add_test(NAME report_fuzz_replay
         COMMAND report_fuzz_replay ${CMAKE_CURRENT_LIST_DIR}/fuzz/corpus/report)

if(TROVIX_FUZZ)
  add_executable(report_fuzz ${CMAKE_CURRENT_LIST_DIR}/fuzz/report_fuzz.cpp)
  target_compile_options(report_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_options(report_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_libraries(report_fuzz PRIVATE trovix_report)
endif()
