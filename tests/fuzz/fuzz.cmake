# velmora_fuzzer(NAME SOURCES... LIBS...): a libFuzzer target when
# VELMORA_FUZZ is on; otherwise a replayer that a test runs over the target's
# checked-in corpus (tests/fuzz/corpus/NAME), so every build checks the
# inputs that once were findings.
function(velmora_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  if(VELMORA_FUZZ)
    add_executable(${name} ${F_SOURCES})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    add_executable(${name} ${F_SOURCES} ${CMAKE_SOURCE_DIR}/tests/fuzz/FuzzMain.cpp)
    add_test(NAME ${name}.corpus
             COMMAND ${name} ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${name})
    set_tests_properties(${name}.corpus PROPERTIES
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 300)
  endif()
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/fuzz)
endfunction()

velmora_fuzzer(fuzz_profile SOURCES ${CMAKE_CURRENT_LIST_DIR}/ProfileFuzz.cpp LIBS velmora_profile)
velmora_fuzzer(fuzz_numbers SOURCES ${CMAKE_CURRENT_LIST_DIR}/NumberRulesFuzz.cpp LIBS velmora_numbers)
velmora_fuzzer(fuzz_dib SOURCES ${CMAKE_CURRENT_LIST_DIR}/DibFuzz.cpp LIBS velmora_drawing)
velmora_fuzzer(fuzz_paths SOURCES ${CMAKE_CURRENT_LIST_DIR}/PathFuzz.cpp LIBS velmora_folderlist)
velmora_fuzzer(fuzz_picture SOURCES ${CMAKE_CURRENT_LIST_DIR}/PictureFuzz.cpp LIBS velmora_pictureloader Qt6::Gui)
velmora_fuzzer(fuzz_metafile SOURCES ${CMAKE_CURRENT_LIST_DIR}/MetafileFuzz.cpp LIBS velmora_pictureloader Qt6::Gui)
