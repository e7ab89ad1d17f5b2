add_library(velmora_filelist STATIC ${CMAKE_CURRENT_LIST_DIR}/FileList.cpp)
target_link_libraries(velmora_filelist PUBLIC velmora_common velmora_dirsearch Qt6::Core)
