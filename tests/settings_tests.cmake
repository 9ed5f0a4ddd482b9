# Settings file and saving; included from tests/CMakeLists.txt after the window tests.
add_executable(settings_tests
  ${CMAKE_CURRENT_LIST_DIR}/ini_file_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings_file_test.cpp
)
target_link_libraries(settings_tests PRIVATE trovix_settings GTest::gtest_main)
gtest_discover_tests(settings_tests DISCOVERY_MODE PRE_TEST)
