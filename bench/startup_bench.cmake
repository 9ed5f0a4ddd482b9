# From exec to the window mapped, beside an empty Qt dialog and Wireshark; run by hand.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
add_executable(startup_dialog ${CMAKE_CURRENT_LIST_DIR}/startup_dialog.cpp)
target_link_libraries(startup_dialog PRIVATE Qt6::Widgets)
pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb)
add_executable(startup_bench ${CMAKE_CURRENT_LIST_DIR}/startup_bench.cpp)
target_link_libraries(startup_bench PRIVATE PkgConfig::XCB)
target_compile_definitions(startup_bench PRIVATE TROVIX_BINARY="$<TARGET_FILE:trovix>"
                                                 STARTUP_DIALOG="$<TARGET_FILE:startup_dialog>")
add_dependencies(startup_bench trovix startup_dialog)
