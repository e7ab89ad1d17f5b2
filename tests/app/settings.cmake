velmora_test(test_settings SOURCES ${CMAKE_CURRENT_LIST_DIR}/SettingsTest.cpp LIBS velmora_settings)
