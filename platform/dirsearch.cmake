add_library(velmora_dirsearch STATIC ${CMAKE_CURRENT_LIST_DIR}/DirSearch.cpp)
target_include_directories(velmora_dirsearch PUBLIC ${CMAKE_SOURCE_DIR})
