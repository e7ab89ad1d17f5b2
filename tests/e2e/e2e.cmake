add_test(NAME e2e.ProgramUnderXvfb COMMAND ${CMAKE_CURRENT_LIST_DIR}/run-program.sh ${CMAKE_BINARY_DIR})
set_tests_properties(e2e.ProgramUnderXvfb PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120 RUN_SERIAL TRUE)
