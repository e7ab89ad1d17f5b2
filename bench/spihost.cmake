# Cost of the plug-in helper process: GetPicture in-process and through it.
add_executable(bench_spihost ${CMAKE_CURRENT_LIST_DIR}/SpiHostBench.cpp)
target_include_directories(bench_spihost PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(bench_spihost PRIVATE Qt6::Gui ${CMAKE_DL_LIBS})
set_target_properties(bench_spihost PROPERTIES AUTOMOC OFF RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_dependencies(bench_spihost LoadPlugin velmora-spihost ifqtimg)
