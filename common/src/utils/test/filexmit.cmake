# Streamer tests: real sockets on 127.0.0.1.
add_executable(vxstreamer_tests ${CMAKE_CURRENT_LIST_DIR}/filexmit_test.cpp)
target_link_libraries(vxstreamer_tests PRIVATE vxstreamer GTest::gtest_main)
vx_warnings(vxstreamer_tests)
gtest_discover_tests(vxstreamer_tests)
