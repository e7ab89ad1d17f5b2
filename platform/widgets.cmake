# The platform's window pieces: up-down control and message boxes.
add_library(velmora_widgets STATIC
  ${CMAKE_CURRENT_LIST_DIR}/UpDownControl.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MessageBox.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Drives.cpp)
target_link_libraries(velmora_widgets PUBLIC Qt6::Widgets velmora_common)
