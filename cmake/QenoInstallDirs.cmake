# Where things go below an install prefix. On Debian the libraries go to the
# multiarch folder (lib/x86_64-linux-gnu) in every prefix, not only in /usr
# as GNUInstallDirs decides by itself: the prefix is chosen when installing,
# after configuring, so one build must install and package alike. Every
# reference inside the tree is relative, so any prefix works.
if(CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}
      CACHE PATH "Object code libraries (LIBDIR), below the install prefix")
endif()
include(GNUInstallDirs)

# The host's own module folder, and the one a module author's
# qeno_add_module() installs into (the same in every prefix, so that
# --prefix ~/.local and --prefix /usr/local land where the host looks).
set(QENO_INSTALL_MODULE_DIR ${CMAKE_INSTALL_LIBDIR}/qeno/modules)
set(QENO_AUTHOR_MODULE_DIR lib/qeno/modules)
# Whatever install() names no component of is the runtime package's.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME runtime)
