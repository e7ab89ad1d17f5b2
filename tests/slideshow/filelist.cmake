velmora_test(test_filelist SOURCES ${CMAKE_CURRENT_LIST_DIR}/FileListTest.cpp LIBS velmora_filelist)
