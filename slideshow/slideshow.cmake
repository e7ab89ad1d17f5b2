# The slide-show window: picture display, advance step, keys and clicks.
add_library(velmora_slideshow STATIC
  ${CMAKE_CURRENT_LIST_DIR}/SlideShow.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PictureDisplay.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PicturePrefetch.cpp)
target_link_libraries(velmora_slideshow PUBLIC
  velmora_folderlist velmora_filelist velmora_pictureloader velmora_plugins
  velmora_settings velmora_numbers velmora_drawing velmora_common Qt6::Widgets)
