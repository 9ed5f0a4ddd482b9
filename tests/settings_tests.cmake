# Settings file and saving; included from tests/CMakeLists.txt after the window tests.
add_executable(settings_tests
  ${CMAKE_CURRENT_LIST_DIR}/pcap_writer_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pcapng_writer_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ini_file_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings_file_test.cpp
)
target_link_libraries(settings_tests PRIVATE trovix_settings trovix_files GTest::gtest_main)
gtest_discover_tests(settings_tests DISCOVERY_MODE PRE_TEST)

# The real window, offscreen, with the settings folder and the save prompt handed in.
add_executable(settings_window_tests
  ${CMAKE_CURRENT_LIST_DIR}/settings_window_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/netns.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gui_main.cpp
)
target_link_libraries(settings_window_tests PRIVATE trovix_ui Qt6::Test GTest::gtest)
trovix_use_built_helper(settings_window_tests)
add_test(NAME settings_window_tests COMMAND settings_window_tests)
set_tests_properties(settings_window_tests PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS "gui" TIMEOUT 300
                     SKIP_RETURN_CODE 77)

# Saving when the disk is full, and, as an unprivileged user, when permissions refuse.
add_executable(settings_fault_tests ${CMAKE_CURRENT_LIST_DIR}/settings_fault_test.cpp)
target_link_libraries(settings_fault_tests PRIVATE trovix_ui Qt6::Test GTest::gtest)
foreach(mode full-disk unprivileged)
  add_test(NAME settings_fault_tests_${mode} COMMAND settings_fault_tests --${mode})
  set_tests_properties(settings_fault_tests_${mode} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen" SKIP_RETURN_CODE 77 TIMEOUT 120)
endforeach()

# The INI fuzz target's corpus, replayed as an ordinary test in every build.
add_executable(ini_fuzz_replay
  ${CMAKE_CURRENT_LIST_DIR}/fuzz/ini_fuzz.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fuzz/replay_main.cpp)
target_link_libraries(ini_fuzz_replay PRIVATE trovix_settings)
add_test(NAME ini_fuzz_replay COMMAND ini_fuzz_replay ${CMAKE_CURRENT_LIST_DIR}/fuzz/corpus/ini)

if(TROVIX_FUZZ)
  add_executable(ini_fuzz ${CMAKE_CURRENT_LIST_DIR}/fuzz/ini_fuzz.cpp)
  target_compile_options(ini_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_options(ini_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_libraries(ini_fuzz PRIVATE trovix_settings)
endif()

# The real program on an X server of its own, driven from the keyboard.
add_test(NAME settings_xvfb_test COMMAND ${CMAKE_CURRENT_LIST_DIR}/settings_xvfb_test.sh $<TARGET_FILE:trovix>)
set_tests_properties(settings_xvfb_test PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120 LABELS "gui" RESOURCE_LOCK xvfb)
