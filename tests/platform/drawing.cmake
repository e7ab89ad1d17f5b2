velmora_test(test_drawing
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/DibTest.cpp ${CMAKE_CURRENT_LIST_DIR}/DeviceContextTest.cpp
  LIBS velmora_drawing)
