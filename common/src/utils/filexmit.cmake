# vxstreamer: the file transfer streamer, linked by the filter module and the
# client library.
add_library(vxstreamer STATIC ${CMAKE_CURRENT_LIST_DIR}/filexmit.cpp)
target_link_libraries(vxstreamer PUBLIC vxfoundation)
set_target_properties(vxstreamer PROPERTIES POSITION_INDEPENDENT_CODE ON)
vx_warnings(vxstreamer)
