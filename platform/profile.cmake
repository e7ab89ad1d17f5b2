add_library(velmora_profile STATIC ${CMAKE_CURRENT_LIST_DIR}/ProfileFile.cpp)
target_include_directories(velmora_profile PUBLIC ${CMAKE_SOURCE_DIR})
