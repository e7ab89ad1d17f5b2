# ifqtimg.spi: WebP, TIFF and TGA through Qt's image format plug-ins. Built
# from its own source and header; LocalAlloc and friends resolve from the
# bridge at load time.
velmora_plugin(ifqtimg ${CMAKE_CURRENT_LIST_DIR}/ifqtimg/ifqtimg.cpp)
target_link_libraries(ifqtimg PRIVATE Qt6::Gui)
set_target_properties(ifqtimg PROPERTIES AUTOMOC OFF)
