# Backend tests of the Qt desktop platform: real sockets, processes, message boxes and a private
# session bus, on the offscreen display. Included from tests/backend/CMakeLists.txt.

# A small program on the platform whose delegate reports its events on standard output, for the
# tests that need processes of their own (single instance, termination signals).
add_executable(qt_test_app ${CMAKE_CURRENT_LIST_DIR}/qt_test_app.cpp)
target_link_libraries(qt_test_app PRIVATE lumivane_desktop Qt6::Core)

add_executable(qt_backend_tests
  ${CMAKE_CURRENT_LIST_DIR}/qt_backend_main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_alert_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_bundle_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_http_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_instance_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_main_queue_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_status_item_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_termination_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_workspace_test.cpp
)
set_target_properties(qt_backend_tests PROPERTIES AUTOMOC ON)
target_link_libraries(qt_backend_tests PRIVATE
  lumivane_desktop Qt6::Widgets Qt6::DBus GTest::gtest)
target_compile_definitions(qt_backend_tests PRIVATE
  LUMIVANE_QT_TEST_APP="$<TARGET_FILE:qt_test_app>")
add_dependencies(qt_backend_tests qt_test_app)

# Listing the tests runs no test and so makes no application object.
gtest_discover_tests(qt_backend_tests
  PROPERTIES LABELS backend TIMEOUT 120
  ENVIRONMENT QT_QPA_PLATFORM=offscreen)

# The tray as a tray host sees it, over D-Bus: on Xvfb, with the xcb display plugin, in a test
# process of its own.
add_executable(qt_tray_tests ${CMAKE_CURRENT_LIST_DIR}/qt_tray_test.cpp)
set_target_properties(qt_tray_tests PROPERTIES AUTOMOC ON)
target_link_libraries(qt_tray_tests PRIVATE lumivane_desktop Qt6::Widgets Qt6::DBus GTest::gtest)
gtest_discover_tests(qt_tray_tests PROPERTIES LABELS backend TIMEOUT 120)
