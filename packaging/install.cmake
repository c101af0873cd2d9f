# What a Linux desktop expects of an installed FENK, and the Debian package made
# of it with CPack. Included from the top-level CMakeLists.txt.
include(GNUInstallDirs)

set(FENK_APP_ID fm.fenk.FENK)
# The date of the version in project(); AppStream wants one per release.
set(FENK_RELEASE_DATE 2026-12-06)

# Directories made by the install are world-readable whatever the umask is.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS fenk RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/${FENK_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

configure_file(${CMAKE_CURRENT_LIST_DIR}/${FENK_APP_ID}.metainfo.xml.in
    ${PROJECT_BINARY_DIR}/packaging/${FENK_APP_ID}.metainfo.xml @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/${FENK_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

foreach(size 16 32 48 64 128 256)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/FENK_Logo_${size}.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
        RENAME ${FENK_APP_ID}.png)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/resources/fenk_logo.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps RENAME ${FENK_APP_ID}.svg)

# Debian keeps the licence as the package's copyright file and wants its
# changelog and manual page compressed reproducibly (gzip -n, no time stamp).
find_program(FENK_GZIP gzip REQUIRED)
foreach(doc changelog.Debian fenk.1)
    execute_process(COMMAND ${FENK_GZIP} -9nc ${CMAKE_CURRENT_LIST_DIR}/${doc}
        OUTPUT_FILE ${PROJECT_BINARY_DIR}/packaging/${doc}.gz COMMAND_ERROR_IS_FATAL ANY)
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_LIST_DIR}/changelog.Debian ${CMAKE_CURRENT_LIST_DIR}/fenk.1)
install(FILES ${PROJECT_BINARY_DIR}/packaging/fenk.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/fenk RENAME copyright)
install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/fenk)

# cpack installs what is built and builds nothing itself: scripts/package builds
# first, and the package test runs inside a tree whose other targets may be stale.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fenk)
set(CPACK_PACKAGE_VENDOR "Orvane Media GmbH")
set(CPACK_PACKAGE_CONTACT "Orvane Media GmbH <info@fenk.fm>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tray application that follows the tracks of a DJ set")
# CPack passes the text through as it stands: no double quotes in it.
set(CPACK_PACKAGE_DESCRIPTION [[FENK learns the playing track from the DJ software on the same machine
(Traktor's Ogg/Vorbis broadcast, Serato's session files, Ableton's OSC
messages), shows it, keeps an XML tracklist of the set and posts the
track that is playing to Twitter.]])
set(CPACK_PACKAGE_INSTALL_DIRECTORY fenk)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.fenk.fm/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
