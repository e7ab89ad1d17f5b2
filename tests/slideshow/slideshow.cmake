# The slide-show window on an offscreen screen of 1024 x 768 pixels (the
# program has its own main, which sets the screen up before Qt starts).
velmora_test(test_slideshow
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SlideShowTest.cpp
  LIBS velmora_slideshow)
add_dependencies(test_slideshow LoadPlugin velmora-spihost fixture_vtest fixture_vcrashy)
if(VELMORA_MINGW64_CXX) # a Windows plug-in among the others
  add_dependencies(test_slideshow fixture_windows64 velmora-spihost64)
endif()
