# Installation and the archive (TGZ; ZIP on Windows). Both produce one self-contained program
# folder:
#
#   thermavo, thermavo-sim                     the program and the simulated board
#   share/applications/thermavo.desktop        the menu entry (Exec=thermavo, found on PATH)
#   share/icons/hicolor/<size>/apps/...        the icon, PNG sizes and scalable SVG
#
# The program keeps its settings file beside its executable (thermavo.INI), so the folder can
# live anywhere: `cmake --install build --prefix ~/.local/opt/thermavo` or unpacking the archive
# both give a working program. scripts/install adds the links and the menu entry for one user.

install(TARGETS thermavo RUNTIME DESTINATION .)
# The simulated board needs a pseudo-terminal, so a Windows build may leave it out.
if(TARGET thermavo-sim)
    install(TARGETS thermavo-sim RUNTIME DESTINATION .)
endif()

if(UNIX AND NOT APPLE)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/thermavo.desktop DESTINATION share/applications)
    # The PNG sizes are rendered from thermavo.svg and committed, so a build needs no SVG renderer.
    foreach(size 16 32 48 64 128 256)
        install(FILES ${PROJECT_SOURCE_DIR}/packaging/icons/thermavo-${size}.png
            DESTINATION share/icons/hicolor/${size}x${size}/apps
            RENAME thermavo.png)
    endforeach()
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/icons/thermavo.svg
        DESTINATION share/icons/hicolor/scalable/apps)
endif()

if(WIN32)
    set(CPACK_GENERATOR ZIP)
else()
    set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_PACKAGE_NAME thermavo)
set(CPACK_PACKAGE_VENDOR Thermavo)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Temperature data logger for Kestrin Vexor sensor boards")
set(CPACK_PACKAGE_FILE_NAME
    thermavo-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_STRIP_FILES ON)
include(CPack)
