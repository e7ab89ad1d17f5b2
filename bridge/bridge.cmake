# The plug-in bridge, opened by the program at run time (never linked). The
find_package(Threads REQUIRED)
# local memory functions live here only, so host and plug-ins share one heap.
add_library(LoadPlugin SHARED
  ${CMAKE_CURRENT_LIST_DIR}/LoadPlugin.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SpiChannel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ChildProcess.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PluginFile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WineSession.cpp
  ${CMAKE_SOURCE_DIR}/platform/LocalMemory.cpp)
target_include_directories(LoadPlugin PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(LoadPlugin PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
set_target_properties(LoadPlugin PROPERTIES AUTOMOC OFF LIBRARY_OUTPUT_DIRECTORY ${VELMORA_OUTPUT_DIR})
install(TARGETS LoadPlugin LIBRARY DESTINATION .)
