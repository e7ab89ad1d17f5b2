# Metafile renderer of the built-in picture loader (sorts after pictureloader.cmake).
target_sources(velmora_pictureloader PRIVATE ${CMAKE_CURRENT_LIST_DIR}/Metafile.cpp)
