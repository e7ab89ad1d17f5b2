add_executable(bench_filelist ${CMAKE_CURRENT_LIST_DIR}/FileListBench.cpp)
target_link_libraries(bench_filelist PRIVATE velmora_filelist)
set_target_properties(bench_filelist PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
