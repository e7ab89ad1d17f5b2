# The plug-in bridge, opened by the program at run time (never linked). The
# local memory functions live here only, so host and plug-ins share one heap.
add_library(LoadPlugin SHARED
  ${CMAKE_CURRENT_LIST_DIR}/LoadPlugin.cpp
  ${CMAKE_SOURCE_DIR}/platform/LocalMemory.cpp)
target_include_directories(LoadPlugin PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(LoadPlugin PRIVATE ${CMAKE_DL_LIBS})
set_target_properties(LoadPlugin PROPERTIES AUTOMOC OFF LIBRARY_OUTPUT_DIRECTORY ${VELMORA_OUTPUT_DIR})
install(TARGETS LoadPlugin LIBRARY DESTINATION .)
