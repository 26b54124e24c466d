# Install rules: the program, its desktop entry, AppStream metainfo, icons,
# man page and the contracts for installer and game authors.
include(GNUInstallDirs)

set(LAUNCHER_APP_ID org.orvandel.launcher)

install(TARGETS launcher RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES data/${LAUNCHER_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES data/${LAUNCHER_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES data/${LAUNCHER_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# Rendered from the SVG once and kept in the tree, so a build needs no SVG renderer.
install(FILES data/${LAUNCHER_APP_ID}.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
# The same picture for the window itself: SDL reads BMP alone.
install(FILES data/${LAUNCHER_APP_ID}.bmp
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
install(FILES man/launcher.6
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man6)
install(FILES docs/installer-contract.md docs/game-contract.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
foreach(lang IN LISTS LAUNCHER_LANGUAGES)
  install(FILES ${CMAKE_BINARY_DIR}/locale/${lang}/LC_MESSAGES/launcher.mo
          DESTINATION ${CMAKE_INSTALL_LOCALEDIR}/${lang}/LC_MESSAGES)
endforeach()
