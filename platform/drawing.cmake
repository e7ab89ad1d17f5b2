# Device-independent bitmaps and the device contexts they are drawn through.
add_library(velmora_drawing STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Dib.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DeviceContext.cpp)
target_link_libraries(velmora_drawing PUBLIC Qt6::Gui velmora_common)
