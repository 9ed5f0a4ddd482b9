# Report tests; included from tests/CMakeLists.txt, where GTest and GoogleTest are loaded.
add_executable(report_tests
  ${CMAKE_CURRENT_LIST_DIR}/report_items_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report_icmp_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report_igmp_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report_packet_report_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report_tcp_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report_udp_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report_golden_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report_info_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report_names_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report_header_fields_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report_service_names_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report_payload_kinds_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/report_quic_test.cpp
)
target_link_libraries(report_tests PRIVATE trovix_report GTest::gtest_main)
target_compile_definitions(report_tests PRIVATE TROVIX_GOLDEN_DIR="${CMAKE_CURRENT_LIST_DIR}/golden")
gtest_discover_tests(report_tests DISCOVERY_MODE PRE_TEST)

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
