add_library(velmora_folderlist STATIC ${CMAKE_CURRENT_LIST_DIR}/FolderList.cpp)
target_link_libraries(velmora_folderlist PUBLIC velmora_dirsearch velmora_common Qt6::Core)
