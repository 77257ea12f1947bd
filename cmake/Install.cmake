# What `cmake --install` puts under the prefix:
#
#   lib/orvane-capture-desk/        the application folder: the program,
#                                   EZTW32.dll with its device search
#                                   helper eztw32-devices and its driver
#                                   host eztw32-driver, and HAND-M.CUR
#   bin/orvane-capture-desk         a relative symbolic link to the program
#   share/applications/             the desktop entry
#   share/metainfo/                 the AppStream metainfo
#   share/icons/hicolor/            the icon at 32, 48, 128 and 256 px and as SVG
#   share/orvane-capture-desk/      the example skin, and in sane.d/ the
#                                   virtual scanner's SANE configuration
#
# The program finds everything it needs in its own folder (the link is
# resolved). The tree is the same for an install into the user's own prefix
# and for the Debian package (prefix /usr).
include("${CMAKE_CURRENT_LIST_DIR}/InstallDirs.cmake")

install(TARGETS orvane-capture-desk RUNTIME DESTINATION "${ORVANE_INSTALL_APPDIR}")
if(TARGET eztw32)
  install(FILES "$<TARGET_FILE:eztw32>" DESTINATION "${ORVANE_INSTALL_APPDIR}"
          RENAME "EZTW32.dll")
  install(TARGETS eztw32_devices eztw32_driver RUNTIME DESTINATION "${ORVANE_INSTALL_APPDIR}")
endif()
install(FILES "${ORVANE_APP_DIR}/HAND-M.CUR" DESTINATION "${ORVANE_INSTALL_APPDIR}")

# The launcher on PATH: a link relative to its own folder, so the tree can
# be installed under any prefix (and with DESTDIR).
file(RELATIVE_PATH _orvane_launcher_target
     "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${ORVANE_INSTALL_APPDIR}/orvane-capture-desk")
set(_orvane_launcher "${CMAKE_BINARY_DIR}/launcher/orvane-capture-desk")
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/launcher")
file(CREATE_LINK "${_orvane_launcher_target}" "${_orvane_launcher}" SYMBOLIC)
install(FILES "${_orvane_launcher}" DESTINATION "${CMAKE_INSTALL_BINDIR}")

install(FILES "${CMAKE_BINARY_DIR}/resources/${ORVANE_APP_ID}.desktop"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
install(FILES "${CMAKE_BINARY_DIR}/resources/${ORVANE_APP_ID}.metainfo.xml"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo")
foreach(_orvane_size IN LISTS ORVANE_ICON_SIZES)
  install(FILES "${CMAKE_BINARY_DIR}/resources/icons/${_orvane_size}/orvane-capture-desk.png"
          DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_orvane_size}x${_orvane_size}/apps"
          RENAME "${ORVANE_APP_ID}.png")
endforeach()
install(FILES "${CMAKE_SOURCE_DIR}/resources/orvane-capture-desk.svg"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps"
        RENAME "${ORVANE_APP_ID}.svg")
install(FILES "${CMAKE_SOURCE_DIR}/resources/example-skin.cjs"
        DESTINATION "${ORVANE_INSTALL_PKGDATADIR}")

# The virtual scanner (SANE's test backend) travels with the program:
#   SANE_CONFIG_DIR=<prefix>/share/orvane-capture-desk/sane.d: orvane-capture-desk
install(DIRECTORY "${CMAKE_SOURCE_DIR}/eztw32/sane.d"
        DESTINATION "${ORVANE_INSTALL_PKGDATADIR}"
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                              GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
