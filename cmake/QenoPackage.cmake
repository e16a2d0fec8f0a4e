# `cpack` builds a Debian package and a tar archive from the install rules.
# The Debian package declares the shared libraries it needs, as found by
# dpkg-shlibdeps, and the font the box renderer draws with.
set(CPACK_PACKAGE_NAME qeno-host)
set(CPACK_PACKAGE_VENDOR "Qeno Server developers")
set(CPACK_PACKAGE_CONTACT "Qeno Server developers <qeno-server@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "qeno-host, the Qeno Server module, and the SDK to build more modules")
set(CPACK_PACKAGE_DESCRIPTION
    "qeno-host runs a graph of boxes around Qeno Server, a small TCP server\nmodule. The package holds the application, its module folder, and the\nheaders, CMake package and pkg-config file that module authors build\nagainst.")
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-dejavu-core")
include(CPack)
