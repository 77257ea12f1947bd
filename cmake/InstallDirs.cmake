# Where the installed tree puts things, relative to the prefix. Shared by the
# install rules and the tests of the installed tree.
include(GNUInstallDirs)
# The application folder is the program's own, not a library folder of the
# architecture: lib/orvane-capture-desk also when GNUInstallDirs picks a
# multiarch libdir (prefix /usr on Debian, and debhelper's builds).
set(ORVANE_INSTALL_APPDIR "lib/orvane-capture-desk" CACHE STRING
    "The application folder under the prefix (relative)")
# The program's shared data: the example skin and the virtual scanner's SANE
# configuration.
set(ORVANE_INSTALL_PKGDATADIR "${CMAKE_INSTALL_DATADIR}/orvane-capture-desk")
