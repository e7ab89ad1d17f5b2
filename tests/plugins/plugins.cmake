# Test plug-ins: real shared objects built from one source with different
# answers. Their references to LocalAlloc and friends resolve from the bridge
# when the host loads them, so they link against nothing. Each name, variant
# pair gives fixture_<name> (<name>.spi) built with VARIANT set.
set(velmora_test_filter_targets)
set(pairs vtest 1 vtwopair 2 varchive 3 vlower 4 vnopair 5 vnoexport 7 vnodesc 8 vcase 9
  vcrashy 10 vcrashinfo 11)
while(pairs)
  list(POP_FRONT pairs filter_name filter_variant)
  add_library(fixture_${filter_name} MODULE ${CMAKE_CURRENT_LIST_DIR}/fixtures/testfilter.c)
  target_compile_definitions(fixture_${filter_name} PRIVATE VARIANT=${filter_variant})
  set_target_properties(fixture_${filter_name} PROPERTIES
    PREFIX "" SUFFIX ".spi" OUTPUT_NAME ${filter_name} AUTOMOC OFF C_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/plugins)
  target_link_options(fixture_${filter_name} PRIVATE -Wl,-Bsymbolic)
  list(APPEND velmora_test_filter_targets fixture_${filter_name})
endwhile()

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

# Windows test plug-ins, cross-built like the Windows helpers: wtest.spi
# (32-bit) and wtest.sph (64-bit) from one source.
set(velmora_windows_fixtures)
foreach(width 32 64)
  if(NOT VELMORA_MINGW${width}_CXX)
    continue()
  endif()
  string(REPLACE "g++" "gcc" mingw_cc ${VELMORA_MINGW${width}_CXX})
  if(width EQUAL 32)
    set(fixture ${CMAKE_BINARY_DIR}/tests/plugins/wtest.spi)
  else()
    set(fixture ${CMAKE_BINARY_DIR}/tests/plugins/wtest.sph)
  endif()
  set(sources ${CMAKE_CURRENT_LIST_DIR}/fixtures/winfilter.c ${CMAKE_CURRENT_LIST_DIR}/fixtures/winfilter.def)
  add_custom_command(OUTPUT ${fixture}
    COMMAND ${mingw_cc} -O2 -Wall -Wextra -shared -static-libgcc -Wl,--enable-stdcall-fixup
      -o ${fixture} ${sources}
    DEPENDS ${sources} COMMENT "Cross-building the Windows test plug-in ${fixture}" VERBATIM)
  add_custom_target(fixture_windows${width} ALL DEPENDS ${fixture})
  list(APPEND velmora_windows_fixtures fixture_windows${width} velmora-spihost${width})
endforeach()

# Windows plug-ins under wine, against the real helpers.
velmora_test(test_winspi SOURCES ${CMAKE_CURRENT_LIST_DIR}/WindowsPluginTest.cpp ${CMAKE_SOURCE_DIR}/bridge/PluginFile.cpp
  LIBS velmora_plugins ${CMAKE_DL_LIBS})
add_dependencies(test_winspi LoadPlugin velmora-spihost ${velmora_test_filter_targets}
  ${velmora_windows_fixtures})
