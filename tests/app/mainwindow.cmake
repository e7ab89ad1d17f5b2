find_package(Qt6 REQUIRED COMPONENTS Test)
velmora_test(test_mainwindow
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/UpDownTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/AboutTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/MainWindowTest.cpp
  LIBS velmora_mainwindow Qt6::Test)
add_dependencies(test_mainwindow LoadPlugin velmora-spihost ifheif ifqtimg)
if(VELMORA_MINGW64_CXX) # a Windows plug-in among the others
  add_dependencies(test_mainwindow fixture_windows64 velmora-spihost64)
endif()
