include(${CMAKE_CURRENT_LIST_DIR}/fixtures/fixtures.cmake)

# A library in the bridge's place that has none of its functions.
add_library(fixture_nobridge MODULE ${CMAKE_CURRENT_LIST_DIR}/fixtures/nobridge.c)
set_target_properties(fixture_nobridge PROPERTIES PREFIX "" SUFFIX ".so" OUTPUT_NAME nobridge
  AUTOMOC OFF LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/plugins)

velmora_test(test_plugins
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ClsPluginTest.cpp ${CMAKE_CURRENT_LIST_DIR}/ClsPluginManagerTest.cpp
  LIBS velmora_plugins ${CMAKE_DL_LIBS})
add_dependencies(test_plugins LoadPlugin velmora-spihost fixture_nobridge ${velmora_test_filter_targets})
# Once more with the plug-ins loaded into the test program itself, the mode
# kept for measurements and debugging.
gtest_discover_tests(test_plugins TEST_PREFIX "InProcess." DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen ENVIRONMENT_MODIFICATION VELMORA_SPI_INPROCESS=set:1 TIMEOUT 120)

# Plug-ins in their helper processes, and the bridge's local memory.
velmora_test(test_spihost SOURCES ${CMAKE_CURRENT_LIST_DIR}/SpiHostTest.cpp LIBS velmora_plugins ${CMAKE_DL_LIBS})
add_dependencies(test_spihost LoadPlugin velmora-spihost ${velmora_test_filter_targets})

# Windows plug-ins under wine, against the real helpers.
velmora_test(test_winspi SOURCES ${CMAKE_CURRENT_LIST_DIR}/WindowsPluginTest.cpp ${CMAKE_SOURCE_DIR}/bridge/PluginFile.cpp
  LIBS velmora_plugins ${CMAKE_DL_LIBS})
add_dependencies(test_winspi LoadPlugin velmora-spihost ${velmora_test_filter_targets}
  ${velmora_windows_fixtures})
