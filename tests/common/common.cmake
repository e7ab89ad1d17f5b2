velmora_test(test_common SOURCES ${CMAKE_CURRENT_LIST_DIR}/PathTextTest.cpp ${CMAKE_CURRENT_LIST_DIR}/CodePageTest.cpp ${CMAKE_CURRENT_LIST_DIR}/CheckedMathTest.cpp LIBS velmora_common)
