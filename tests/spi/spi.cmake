# The shipped plug-ins, loaded through the real bridge as the program does.
# libheif is linked only to write pictures with a stored orientation.
pkg_check_modules(VELMORA_TEST_LIBHEIF REQUIRED IMPORTED_TARGET libheif)
velmora_test(test_spi
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SpiHost.cpp ${CMAKE_CURRENT_LIST_DIR}/IfHeifTest.cpp ${CMAKE_CURRENT_LIST_DIR}/IfQtImgTest.cpp
  LIBS Qt6::Gui PkgConfig::VELMORA_TEST_LIBHEIF ${CMAKE_DL_LIBS})
add_dependencies(test_spi LoadPlugin velmora-spihost ifheif ifqtimg)
