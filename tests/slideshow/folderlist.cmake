velmora_test(test_folderlist SOURCES ${CMAKE_CURRENT_LIST_DIR}/FolderListTest.cpp LIBS velmora_folderlist)
