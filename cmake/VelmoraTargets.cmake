# velmora_plugin(NAME SOURCES...): a Susie import filter, built as Plugin/NAME.spi.
function(velmora_plugin name)
  add_library(${name} MODULE ${ARGN})
  set_target_properties(${name} PROPERTIES
    PREFIX "" SUFFIX ".spi" OUTPUT_NAME ${name}
    LIBRARY_OUTPUT_DIRECTORY ${VELMORA_PLUGIN_DIR}
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  # A plug-in's own exports must bind to itself, never to the bridge's
  # functions of the same name that the host has loaded globally; it exports
  # nothing else. The codec library brings libheif, libjxl and libwebp along; a
  # plug-in needs only those it calls.
  set(exports ${CMAKE_SOURCE_DIR}/shippedplugins/SusieExports.map)
  target_link_options(${name} PRIVATE -Wl,-Bsymbolic -Wl,--as-needed -Wl,--version-script=${exports})
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${exports})
  install(TARGETS ${name} LIBRARY DESTINATION ${VELMORA_INSTALL_DIR}/Plugin)
endfunction()

# velmora_test(NAME SOURCES... LIBS libs...): a GoogleTest program whose cases
# run one by one under CTest on Qt's offscreen platform.
function(velmora_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE velmora_testsupport ${T_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;VELMORA_BUILD_DIR=${CMAKE_BINARY_DIR}" TIMEOUT 120)
endfunction()
