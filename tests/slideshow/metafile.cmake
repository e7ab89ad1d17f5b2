velmora_test(test_metafile
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/MetafileTest.cpp
  LIBS velmora_pictureloader)
