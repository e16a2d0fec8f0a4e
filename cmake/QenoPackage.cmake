# `cpack` builds two Debian packages and a tar archive from the install
# rules: qeno-host (the application, its library and modules, the service
# unit) and qeno-host-dev (what module authors build against, the examples
# and the guide), which needs the qeno-host of its own version. The runtime
# package declares the shared libraries it needs, as found by
# dpkg-shlibdeps, and the font the box renderer draws with.
set(CPACK_PACKAGE_NAME qeno-host)
set(CPACK_PACKAGE_VENDOR "Qeno Server developers")
set(CPACK_PACKAGE_CONTACT "Qeno Server developers <qeno-server@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "qeno-host, the Qeno Server module and stock boxes")
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME qeno-host)
set(CPACK_DEBIAN_RUNTIME_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION net)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "fonts-dejavu-core")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "qeno-host, the Qeno Server module and stock boxes\nqeno-host runs a graph of boxes around Qeno Server, a small TCP server\nmodule, from the command line or as a systemd service, with an optional\neditor page. The package holds the application, its framework library,\nthe QenoServer module and the stock boxes.")

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
file(WRITE ${CMAKE_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    "${CMAKE_BINARY_DIR}/debian/shlibs;${CMAKE_BINARY_DIR}/debian/triggers")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
