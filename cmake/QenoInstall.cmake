# What `cmake --install` puts in a prefix, in two components: runtime (the
# application, the framework library, the modules, the service unit) and dev
# (the public headers, a CMake and a pkg-config package for module authors,
# the examples and the guide). Every reference between them is relative, so
# the installed tree can be moved. Folders: cmake/QenoInstallDirs.cmake.
include(CMakePackageConfigHelpers)

set(QENO_INSTALL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QenoHost)
set(QENO_INSTALL_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc)

file(RELATIVE_PATH qeno_bin_to_lib /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
file(RELATIVE_PATH qeno_module_to_lib /prefix/${QENO_INSTALL_MODULE_DIR} /prefix/${CMAKE_INSTALL_LIBDIR})
set_target_properties(qenohost PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  EXPORT_NAME host)
set_target_properties(qeno-host PROPERTIES INSTALL_RPATH "$ORIGIN/${qeno_bin_to_lib}")
set_target_properties(qenoserver PROPERTIES INSTALL_RPATH "$ORIGIN/${qeno_module_to_lib}")

# Where an installed qeno-host finds its module folders, below its prefix.
target_compile_definitions(qenoeditor PRIVATE
  QENO_INSTALL_MODULE_DIR="${QENO_INSTALL_MODULE_DIR}"
  QENO_AUTHOR_MODULE_DIR="${QENO_AUTHOR_MODULE_DIR}")

install(TARGETS qeno-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS qenohost EXPORT QenoHostTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT dev)
install(TARGETS qenoserver LIBRARY DESTINATION ${QENO_INSTALL_MODULE_DIR})

# The contract a module compiles against is every header at the top of host/;
# the socket internals in host/net/ stay private.
file(GLOB qeno_public_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/host/*.h)
install(FILES ${qeno_public_headers} ${QENO_GENERATED_INCLUDE_DIR}/QenoVersion.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qeno COMPONENT dev)

install(EXPORT QenoHostTargets NAMESPACE Qeno:: DESTINATION ${QENO_INSTALL_CMAKE_DIR}
        COMPONENT dev)
configure_package_config_file(cmake/QenoHostConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/QenoHostConfig.cmake
  INSTALL_DESTINATION ${QENO_INSTALL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/QenoHostConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/QenoHostConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/QenoHostConfigVersion.cmake
  cmake/QenoModule.cmake
  DESTINATION ${QENO_INSTALL_CMAKE_DIR} COMPONENT dev)

file(RELATIVE_PATH QENO_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(cmake/qenohost.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qenohost.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qenohost.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# The guides, as Debian keeps them: a user's with the application (and the
# tally graph the service guide starts from), an author's with the SDK, and
# the stock boxes' in both, since their sources are an author's examples too.
install(FILES docs/console.md docs/editor-page.md docs/editor-page.png docs/graph-files.md
              docs/install.md docs/service.md docs/stock-boxes.md basics/tally-graph.json
        DESTINATION ${QENO_INSTALL_DOC_DIR}/qeno-host)
install(FILES docs/modules.md docs/stock-boxes.md
        DESTINATION ${QENO_INSTALL_DOC_DIR}/qeno-host-dev COMPONENT dev)
install(DIRECTORY examples/ DESTINATION ${QENO_INSTALL_DOC_DIR}/qeno-host-dev/examples
        COMPONENT dev)
install(FILES cmake/copyright DESTINATION ${QENO_INSTALL_DOC_DIR}/qeno-host)
install(FILES cmake/copyright DESTINATION ${QENO_INSTALL_DOC_DIR}/qeno-host-dev COMPONENT dev)
