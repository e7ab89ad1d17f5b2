# Each plug-in runs in a helper process of its own, built and installed
# beside the bridge, which starts it. velmora-spihost runs Linux plug-ins and
# provides the local memory functions to them, so it exports its symbols; it
# is also the launcher of the Windows helpers.
add_executable(velmora-spihost
  ${CMAKE_CURRENT_LIST_DIR}/SpiHostMain.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SpiHostCore.cpp
  ${CMAKE_SOURCE_DIR}/platform/LocalMemory.cpp)
target_include_directories(velmora-spihost PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(velmora-spihost PRIVATE ${CMAKE_DL_LIBS})
set_target_properties(velmora-spihost PROPERTIES
  AUTOMOC OFF ENABLE_EXPORTS ON RUNTIME_OUTPUT_DIRECTORY ${VELMORA_OUTPUT_DIR})
add_dependencies(LoadPlugin velmora-spihost)
install(TARGETS velmora-spihost RUNTIME DESTINATION .)

# The Windows helpers, cross-built from the same request loop with mingw-w64
# when it is installed (Debian g++-mingw-w64-i686 and g++-mingw-w64-x86-64).
set(velmora_windows_helpers)
foreach(width 32 64)
  if(width EQUAL 32)
    set(triplet i686-w64-mingw32)
  else()
    set(triplet x86_64-w64-mingw32)
  endif()
  find_program(VELMORA_MINGW${width}_CXX ${triplet}-g++-win32 ${triplet}-g++)
  if(NOT VELMORA_MINGW${width}_CXX)
    message(STATUS "No ${triplet}-g++: velmora-spihost${width}.exe is not built, so "
      "${width}-bit Windows plug-ins cannot run (install g++-mingw-w64-${triplet})")
    continue()
  endif()
  message(STATUS "Building velmora-spihost${width}.exe with ${VELMORA_MINGW${width}_CXX}")
  set(helper ${VELMORA_OUTPUT_DIR}/velmora-spihost${width}.exe)
  set(sources ${CMAKE_CURRENT_LIST_DIR}/SpiHostWindows.cpp ${CMAKE_CURRENT_LIST_DIR}/SpiHostCore.cpp)
  add_custom_command(OUTPUT ${helper}
    COMMAND ${VELMORA_MINGW${width}_CXX} -std=c++20 -O2 -Wall -Wextra -municode -static -s
      -I${CMAKE_SOURCE_DIR} -o ${helper} ${sources}
    DEPENDS ${sources} ${CMAKE_CURRENT_LIST_DIR}/SpiHostCore.h ${CMAKE_CURRENT_LIST_DIR}/SpiProtocol.h
    COMMENT "Cross-building velmora-spihost${width}.exe" VERBATIM)
  add_custom_target(velmora-spihost${width} ALL DEPENDS ${helper})
  install(PROGRAMS ${helper} DESTINATION .)
  list(APPEND velmora_windows_helpers velmora-spihost${width})
endforeach()
