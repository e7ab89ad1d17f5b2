# Test plug-ins: real shared objects built from one source with different
# answers. Their references to LocalAlloc and friends resolve from the bridge
# when the host loads them, so they link against nothing.
# velmora_test_filters(OUT SOURCE name variant name variant ...): one
# test plug-in fixture_<name> (<name>.spi) per pair, built from SOURCE
# with VARIANT set; OUT receives the target names.
function(velmora_test_filters out source)
  set(targets)
  set(pairs ${ARGN})
  while(pairs)
    list(POP_FRONT pairs filter_name filter_variant)
    add_library(fixture_${filter_name} MODULE ${source})
    target_compile_definitions(fixture_${filter_name} PRIVATE VARIANT=${filter_variant})
    set_target_properties(fixture_${filter_name} PROPERTIES
      PREFIX "" SUFFIX ".spi" OUTPUT_NAME ${filter_name} AUTOMOC OFF
      C_VISIBILITY_PRESET hidden
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/plugins)
    target_link_options(fixture_${filter_name} PRIVATE -Wl,-Bsymbolic)
    list(APPEND targets fixture_${filter_name})
  endwhile()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

velmora_test_filters(velmora_test_filter_targets ${CMAKE_CURRENT_LIST_DIR}/fixtures/testfilter.c
  vtest 1 vtwopair 2 varchive 3 vlower 4 vnopair 5 vhostile 6 vnoexport 7 vnodesc 8 vcase 9)

# A library in the bridge's place that has none of its functions.
add_library(fixture_nobridge MODULE ${CMAKE_CURRENT_LIST_DIR}/fixtures/nobridge.c)
set_target_properties(fixture_nobridge PROPERTIES
  PREFIX "" SUFFIX ".so" OUTPUT_NAME nobridge AUTOMOC OFF
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/plugins)
list(APPEND velmora_test_filter_targets fixture_nobridge)

velmora_test(test_plugins
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ClsPluginTest.cpp
          ${CMAKE_CURRENT_LIST_DIR}/ClsPluginManagerTest.cpp
  LIBS velmora_plugins ${CMAKE_DL_LIBS})
add_dependencies(test_plugins LoadPlugin ${velmora_test_filter_targets})

# Its own program: it opens the built bridge directly, which the tests above
# must not (they reach it through a program folder's copy).
velmora_test(test_localmemory SOURCES ${CMAKE_CURRENT_LIST_DIR}/LocalMemoryTest.cpp LIBS ${CMAKE_DL_LIBS})
add_dependencies(test_localmemory LoadPlugin)
