# Platform tests; included from tests/CMakeLists.txt, where GTest and GoogleTest are loaded.
foreach(test host_info_test linux_host_info_test os_line_test privilege_test)
  add_executable(${test} ${CMAKE_CURRENT_LIST_DIR}/${test}.cpp)
  target_link_libraries(${test} PRIVATE trovix_platform GTest::gtest_main)
  gtest_discover_tests(${test} DISCOVERY_MODE PRE_TEST)
endforeach()
target_compile_definitions(privilege_test PRIVATE TROVIX_CAPTURE_HELPER="$<TARGET_FILE:trovix-capture>")

# Real host information in a network namespace the test process makes itself.
add_executable(host_info_netns_test
  ${CMAKE_CURRENT_LIST_DIR}/host_info_netns_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/netns.cpp
  ${CMAKE_CURRENT_LIST_DIR}/netns_main.cpp)
target_link_libraries(host_info_netns_test PRIVATE trovix_platform GTest::gtest)
add_test(NAME host_info_netns_test COMMAND host_info_netns_test)
set_tests_properties(host_info_netns_test PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)

# The desktop's entries, read from folders the test writes; pure, though the window uses it.
add_executable(desktop_icons_test ${CMAKE_CURRENT_LIST_DIR}/desktop_icons_test.cpp ${PROJECT_SOURCE_DIR}/ui/desktop_icons.cpp)
target_include_directories(desktop_icons_test PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(desktop_icons_test PRIVATE GTest::gtest_main)
gtest_discover_tests(desktop_icons_test DISCOVERY_MODE PRE_TEST)
