add_library(velmora_plugins STATIC
  ${CMAKE_CURRENT_LIST_DIR}/PluginBridge.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ClsPlugin.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ClsPluginManager.cpp)
target_include_directories(velmora_plugins PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(velmora_plugins PUBLIC velmora_drawing velmora_dirsearch velmora_common Qt6::Core Qt6::Gui ${CMAKE_DL_LIBS})
