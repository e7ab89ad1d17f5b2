velmora_test(test_numbers SOURCES ${CMAKE_CURRENT_LIST_DIR}/NumberRulesTest.cpp LIBS velmora_numbers)
