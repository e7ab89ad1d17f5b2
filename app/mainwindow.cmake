# The main window and the program.
add_library(velmora_mainwindow STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Form1.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frmVersion.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ListControls.cpp)
qt_add_resources(velmora_mainwindow velmora_icon PREFIX / BASE ${CMAKE_CURRENT_LIST_DIR}
  FILES ${CMAKE_CURRENT_LIST_DIR}/velmora.png)
target_link_libraries(velmora_mainwindow PUBLIC
  velmora_slideshow velmora_settings velmora_updown velmora_widgets velmora_plugins velmora_dirsearch Qt6::Widgets)

add_executable(velmora ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(velmora PRIVATE velmora_mainwindow)
set_target_properties(velmora PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VELMORA_OUTPUT_DIR})
# Help.txt beside the program, in the build folder as in an installed one.
configure_file(${CMAKE_CURRENT_LIST_DIR}/Help.txt ${VELMORA_OUTPUT_DIR}/Help.txt COPYONLY)
install(TARGETS velmora RUNTIME DESTINATION .)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/Help.txt DESTINATION .)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/velmora.desktop DESTINATION share/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/velmora.png DESTINATION share/icons/hicolor/32x32/apps)
# Running the program needs the bridge and the shipped plug-ins beside it.
foreach(needed LoadPlugin ifheif ifqtimg)
  if(TARGET ${needed})
    add_dependencies(velmora ${needed})
  endif()
endforeach()
