# Installation, the archive (TGZ; ZIP on Windows) and the Debian package.
#
# The archive and `cmake --install` lay out one self-contained program folder:
#
#   thermavo, thermavo-sim                     the program and the simulated board
#   share/applications/thermavo.desktop        the menu entry (Exec=thermavo, found on PATH)
#   share/icons/hicolor/<size>/apps/...        the icon, PNG sizes and scalable SVG
#
# The program keeps its settings file beside its executable (thermavo.INI) while that folder is
# writable, so the folder can live anywhere: `cmake --install build --prefix ~/.local/opt/thermavo`
# or unpacking the archive both give a working program. scripts/install adds the links and the
# menu entry for one user.
#
# The Debian package installs the component "deb", which a plain install leaves out:
#
#   /usr/lib/thermavo/thermavo, thermavo-sim   the program folder, not writable for users, so
#                                              their settings go to ~/.config/thermavo
#   /usr/bin/thermavo, thermavo-sim            links into the program folder
#   /usr/share/applications, /usr/share/icons  the menu entry and the icons

set(THERMAVO_DEB_FOLDER lib/thermavo)

# The menu entry and the icons under DESTINATION/share; extra arguments go to every install().
function(thermavo_install_menu_entry destination)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/thermavo.desktop
        DESTINATION ${destination}share/applications ${ARGN})
    # The PNG sizes are rendered from thermavo.svg and committed, so a build needs no SVG renderer.
    foreach(size 16 32 48 64 128 256)
        install(FILES ${PROJECT_SOURCE_DIR}/packaging/icons/thermavo-${size}.png
            DESTINATION ${destination}share/icons/hicolor/${size}x${size}/apps
            RENAME thermavo.png ${ARGN})
    endforeach()
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/icons/thermavo.svg
        DESTINATION ${destination}share/icons/hicolor/scalable/apps ${ARGN})
endfunction()

set(programs thermavo)
# The simulated board needs a pseudo-terminal, so a Windows build may leave it out.
if(TARGET thermavo-sim)
    list(APPEND programs thermavo-sim)
endif()
install(TARGETS ${programs} RUNTIME DESTINATION .)

if(UNIX AND NOT APPLE)
    thermavo_install_menu_entry("")

    install(TARGETS ${programs} RUNTIME DESTINATION ${THERMAVO_DEB_FOLDER}
        COMPONENT deb EXCLUDE_FROM_ALL)
    thermavo_install_menu_entry("" COMPONENT deb EXCLUDE_FROM_ALL)
    # The licence, where Debian keeps every package's.
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION share/doc/thermavo COMPONENT deb EXCLUDE_FROM_ALL)
    # Relative links, made here and installed as links.
    set(links ${CMAKE_BINARY_DIR}/deb-links)
    file(MAKE_DIRECTORY ${links})
    foreach(program IN LISTS programs)
        file(CREATE_LINK ../${THERMAVO_DEB_FOLDER}/${program} ${links}/${program} SYMBOLIC)
        install(FILES ${links}/${program} DESTINATION bin COMPONENT deb EXCLUDE_FROM_ALL)
    endforeach()
endif()

if(WIN32)
    set(CPACK_GENERATOR ZIP)
elseif(UNIX AND NOT APPLE)
    set(CPACK_GENERATOR TGZ DEB)
else()
    set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_PACKAGE_NAME thermavo)
set(CPACK_PACKAGE_VENDOR Thermavo)
set(CPACK_PACKAGE_CONTACT "Thermavo developers")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Temperature data logger for Kestrin Vexor sensor boards")
set(CPACK_PACKAGE_FILE_NAME
    thermavo-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_STRIP_FILES ON)
# Per generator: the DEB installs only its own component.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack-generators.cmake)

# thermavo_<version>_<architecture>.deb, with the libraries it needs found by dpkg-shlibdeps.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's design is measured in Liberation Sans; the history window draws with QCustomPlot
# (which dpkg-shlibdeps finds as well).
# libmosquitto is loaded when publishing starts, so the library scan does not see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation, libqcustomplot2.1-qt6, libmosquitto1")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Follows the summary line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Thermavo records the temperatures of the 8-channel Vexor08 and the 4-channel
Vexor04 and Vexor04 USB boards over a serial port: it averages and smooths
them, shows them with a strip chart, and logs them to SYLK or TAB-delimited
files. thermavo-sim plays a board on a pseudo-terminal.")
include(CPack)
