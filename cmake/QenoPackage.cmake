# `cpack` builds two Debian packages and a tar archive from the install
# rules: qeno-host (the application, its library and modules, the service
# unit) and qeno-host-dev (what module authors build against, the examples
# and the guide), which needs the qeno-host of its own version. The runtime
# package declares the shared libraries it needs, as found by
# dpkg-shlibdeps, and the font the box renderer draws with. What lintian
# asks of a Debian package is in cmake/debian/.
set(QENO_PACKAGE_CONTACT "Qeno Server developers <qeno-server@example.org>"
    CACHE STRING "The packages' maintainer, as Name <address>")
set(CPACK_PACKAGE_NAME qeno-host)
set(CPACK_PACKAGE_VENDOR "Qeno Server developers")
set(CPACK_PACKAGE_CONTACT "${QENO_PACKAGE_CONTACT}")
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_STRIP_FILES ON)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# Each description's first line is the package's synopsis, which must not
# start with the package's name; no summary common to both goes before it.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME qeno-host)
set(CPACK_DEBIAN_RUNTIME_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION net)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "fonts-dejavu-core")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "graph host around Qeno Server, a small TCP server module\nqeno-host runs a graph of boxes around Qeno Server, a small TCP server\nmodule, from the command line or as a systemd service, with an optional\neditor page. The package holds the application, its framework library,\nthe QenoServer module and the stock boxes.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME qeno-host-dev)
set(CPACK_DEBIAN_DEV_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "SDK to build modules for qeno-host\nThe headers, CMake package and pkg-config file that module authors build\nagainst, the author's guide and the example modules.")

# The shlibs entry names the framework library only. cpack's own would also
# look at the module libraries, which are loaded by path, carry no SONAME,
# and only made it warn.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/debian)
file(WRITE ${CMAKE_BINARY_DIR}/debian/shlibs
  "libqenohost ${PROJECT_VERSION_MAJOR} qeno-host (>= ${PROJECT_VERSION})\n")
# ldconfig runs once, from its trigger. The maintainer scripts only tell a
# running systemd of the unit; given here, they also keep cpack from adding
# scripts that would run ldconfig a second time.
file(WRITE ${CMAKE_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    "${CMAKE_BINARY_DIR}/debian/shlibs;${CMAKE_BINARY_DIR}/debian/triggers;${PROJECT_SOURCE_DIR}/cmake/debian/postinst;${PROJECT_SOURCE_DIR}/cmake/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
