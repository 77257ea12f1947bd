# Where the installed tree puts things, relative to the prefix. Shared by the
# install rules and the test of the installed tree.
include(GNUInstallDirs)
set(ORVANE_INSTALL_APPDIR "${CMAKE_INSTALL_LIBDIR}/orvane-capture-desk" CACHE STRING
    "The application folder under the prefix (relative)")
