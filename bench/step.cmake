add_executable(bench_step ${CMAKE_CURRENT_LIST_DIR}/StepBench.cpp)
target_link_libraries(bench_step PRIVATE velmora_slideshow)
set_target_properties(bench_step PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
