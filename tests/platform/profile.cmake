velmora_test(test_profile SOURCES ${CMAKE_CURRENT_LIST_DIR}/ProfileFileTest.cpp LIBS velmora_profile)
