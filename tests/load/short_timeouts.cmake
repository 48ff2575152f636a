# The service with stall timeouts of seconds, for the load tests that wait for them. It sits
# beside the service, where libzkfp is found, and is never installed. Made by tests/load for the
# tests, and by the Windows build for the same tests run under Wine.
add_executable(tobran-quorvel-short-timeouts ${CMAKE_CURRENT_LIST_DIR}/short_timeouts_main.cc)
target_link_libraries(tobran-quorvel-short-timeouts PRIVATE service)
set_target_properties(tobran-quorvel-short-timeouts PROPERTIES
  BUILD_RPATH_USE_ORIGIN ON
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
