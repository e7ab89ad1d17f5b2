add_library(velmora_numbers STATIC ${CMAKE_CURRENT_LIST_DIR}/NumberRules.cpp)
target_include_directories(velmora_numbers PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(velmora_numbers PUBLIC Qt6::Core velmora_common)
