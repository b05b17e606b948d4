# Backend tests of the POSIX layer: real processes, files and signals in temporary directories.
# Included from tests/backend/CMakeLists.txt.

# The child the process tests start: it reports its arguments, directory, environment,
# descriptors and signal state.
add_executable(posix_probe_child ${CMAKE_CURRENT_LIST_DIR}/posix_probe_child.cpp)

add_executable(posix_backend_tests
  ${CMAKE_CURRENT_LIST_DIR}/posix_files_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix_instance_lock_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix_log_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix_process_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/posix_signals_test.cpp
)
target_link_libraries(posix_backend_tests PRIVATE lumivane_posix GTest::gtest_main)
target_compile_definitions(posix_backend_tests PRIVATE
  LUMIVANE_POSIX_PROBE_CHILD="$<TARGET_FILE:posix_probe_child>")
add_dependencies(posix_backend_tests posix_probe_child)

gtest_discover_tests(posix_backend_tests PROPERTIES LABELS "backend;threads" TIMEOUT 120)
