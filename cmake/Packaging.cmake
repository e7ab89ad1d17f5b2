# cpack -G DEB: a Debian package of the installed layout (PREFIX=/usr).
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VERSION 1.10.0)
set(CPACK_PACKAGE_VENDOR "The Velmora developers")
set(CPACK_PACKAGE_CONTACT "The Velmora developers <developers@velmora.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "full-screen picture slide show")
set(CPACK_PACKAGE_DESCRIPTION "Velmora shows the pictures of a folder and of every folder below it
one by one on a black full-screen window, fitted to the screen, advancing
on a timer and on keys and clicks. It reads the common photo formats with
their colour profiles, and further formats through Susie import-filter
plug-ins, Windows ones included when wine is installed.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so not found by the library scan: Qt's image format
# plug-ins (WebP, TIFF, TGA), the Wayland platform plug-in (without it a
# Wayland session with no Xwayland cannot start the program, and with
# Xwayland a scaled output shows blurred pictures) and a font with Japanese
# glyphs.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-image-formats-plugins, qt6-wayland, fonts-ipafont-gothic | fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "dbus")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wine, wine64")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velmora)
# Debian wants the change log and the manual page compressed, reproducibly.
foreach(page changelog velmora.1)
  set(compressed ${CMAKE_BINARY_DIR}/packaging/${page}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/packaging/${page} > ${compressed}
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/${page} VERBATIM)
  list(APPEND velmora_compressed_docs ${compressed})
endforeach()
add_custom_target(velmora_docs ALL DEPENDS ${velmora_compressed_docs})
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velmora)
install(FILES ${CMAKE_BINARY_DIR}/packaging/velmora.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
include(CPack)
