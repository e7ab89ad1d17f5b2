# Plug-ins in their helper processes: filters that crash, hang, end the
# process or forge answers, built from one source like the test filters.
velmora_test_filters(velmora_crash_filter_targets ${CMAKE_CURRENT_LIST_DIR}/fixtures/crashfilter.c
  vcrashy 1 vcrashinfo 2)

velmora_test(test_spihost
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SpiHostTest.cpp
  LIBS velmora_plugins ${CMAKE_DL_LIBS})
add_dependencies(test_spihost LoadPlugin velmora-spihost fixture_vtest ${velmora_crash_filter_targets})

# The plug-in tests once more with the plug-ins loaded into the test program
# itself, the mode kept for measurements and debugging.
gtest_discover_tests(test_plugins
  TEST_PREFIX "InProcess."
  DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;VELMORA_BUILD_DIR=${CMAKE_BINARY_DIR};VELMORA_SPI_INPROCESS=1" TIMEOUT 120)
