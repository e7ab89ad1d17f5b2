# ifheif.spi: HEIF/HEIC and AVIF through libheif. Built from its own source and
# header alone; LocalAlloc and friends resolve from the bridge at load time.
pkg_check_modules(VELMORA_LIBHEIF REQUIRED IMPORTED_TARGET libheif)
velmora_plugin(ifheif ${CMAKE_CURRENT_LIST_DIR}/ifheif/ifheif.cpp)
target_link_libraries(ifheif PRIVATE PkgConfig::VELMORA_LIBHEIF)
set_target_properties(ifheif PROPERTIES AUTOMOC OFF)
