add_library(velmora_settings STATIC ${CMAKE_CURRENT_LIST_DIR}/Settings.cpp)
target_link_libraries(velmora_settings PUBLIC velmora_profile velmora_numbers velmora_common Qt6::Core)
