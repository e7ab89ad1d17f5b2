velmora_test(test_pictureloader
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/PictureFileTest.cpp
  LIBS velmora_pictureloader)
