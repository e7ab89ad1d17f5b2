# Windows plug-ins under wine against a Linux plug-in doing the same decode.
include(${CMAKE_SOURCE_DIR}/tests/plugins/fixtures/fixtures.cmake)
add_executable(bench_winspi ${CMAKE_CURRENT_LIST_DIR}/WinSpiBench.cpp)
target_link_libraries(bench_winspi PRIVATE velmora_plugins)
set_target_properties(bench_winspi PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_dependencies(bench_winspi LoadPlugin velmora-spihost fixture_vtest)
if(VELMORA_MINGW64_CXX)
  add_dependencies(bench_winspi fixture_windows64 velmora-spihost64)
endif()
