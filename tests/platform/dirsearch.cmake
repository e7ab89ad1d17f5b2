velmora_test(test_dirsearch SOURCES ${CMAKE_CURRENT_LIST_DIR}/DirSearchTest.cpp LIBS velmora_dirsearch)
