# Each plug-in runs in a helper process of its own: velmora-spihost, built and
# installed beside the bridge, which starts it. The helper provides the local
# memory functions to its plug-in, so it exports its symbols.
target_sources(LoadPlugin PRIVATE ${CMAKE_CURRENT_LIST_DIR}/SpiChannel.cpp)
add_executable(velmora-spihost
  ${CMAKE_CURRENT_LIST_DIR}/SpiHostMain.cpp
  ${CMAKE_SOURCE_DIR}/platform/LocalMemory.cpp)
target_include_directories(velmora-spihost PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(velmora-spihost PRIVATE ${CMAKE_DL_LIBS})
set_target_properties(velmora-spihost PROPERTIES
  AUTOMOC OFF ENABLE_EXPORTS ON RUNTIME_OUTPUT_DIRECTORY ${VELMORA_OUTPUT_DIR})
add_dependencies(LoadPlugin velmora-spihost)
install(TARGETS velmora-spihost RUNTIME DESTINATION .)
