# The built-in picture loader: bitmaps, JPEG, GIF, PNG, icons and cursors.
find_package(JPEG REQUIRED)
add_library(velmora_pictureloader STATIC
  ${CMAKE_CURRENT_LIST_DIR}/PictureFile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/JpegReader.cpp)
target_link_libraries(velmora_pictureloader PUBLIC Qt6::Gui velmora_common velmora_drawing PRIVATE JPEG::JPEG)
