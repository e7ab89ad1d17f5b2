# Plug-ins in their helper processes: filters that crash, hang, end the
# process or forge answers, built from one source like the test filters.
set(velmora_crash_filters vcrashy 1 vcrashinfo 2)
set(velmora_crash_filter_targets)
while(velmora_crash_filters)
  list(POP_FRONT velmora_crash_filters filter_name filter_variant)
  add_library(fixture_${filter_name} MODULE ${CMAKE_CURRENT_LIST_DIR}/fixtures/crashfilter.c)
  target_compile_definitions(fixture_${filter_name} PRIVATE VARIANT=${filter_variant})
  set_target_properties(fixture_${filter_name} PROPERTIES
    PREFIX "" SUFFIX ".spi" OUTPUT_NAME ${filter_name} AUTOMOC OFF
    C_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/plugins)
  target_link_options(fixture_${filter_name} PRIVATE -Wl,-Bsymbolic)
  list(APPEND velmora_crash_filter_targets fixture_${filter_name})
endwhile()

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
