# Host information, privilege check and OS line: what the window asks the
# system at start-up and at "go!". Included from the top-level CMakeLists.txt.
add_library(trovix_platform STATIC
  ${CMAKE_CURRENT_LIST_DIR}/host_info.cpp
  ${CMAKE_CURRENT_LIST_DIR}/os_line.cpp
  ${CMAKE_CURRENT_LIST_DIR}/platform/capability_check.cpp
  ${CMAKE_CURRENT_LIST_DIR}/platform/linux_host_info.cpp
  ${CMAKE_CURRENT_LIST_DIR}/platform/linux_os_version.cpp
)
target_link_libraries(trovix_platform PUBLIC trovix_capture)
