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
# A tree installed anywhere finds its library from its own place; one
# installed into /usr (the Debian packages) finds it where the system's
# libraries are, and carries no run path (see below).
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
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    foreach(installed ${CMAKE_INSTALL_BINDIR}/qeno-host ${QENO_INSTALL_MODULE_DIR}/libqenoserver.so)
      file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${installed}\")
    endforeach()
  endif()
" COMPONENT runtime)

# The manual page, made from qeno-host's --help once it is built.
set(QENO_MAN_PAGE ${CMAKE_BINARY_DIR}/man/qeno-host.1.gz)
add_custom_command(OUTPUT ${QENO_MAN_PAGE}
  COMMAND ${CMAKE_COMMAND} -DHOST=$<TARGET_FILE:qeno-host> -DVERSION=${PROJECT_VERSION}
          -DOUT=${QENO_MAN_PAGE} -P ${PROJECT_SOURCE_DIR}/cmake/QenoManPage.cmake
  DEPENDS qeno-host ${PROJECT_SOURCE_DIR}/cmake/QenoManPage.cmake
  COMMENT "Writing the manual page of qeno-host"
  VERBATIM)
add_custom_target(qeno-host-man ALL DEPENDS ${QENO_MAN_PAGE})
install(FILES ${QENO_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

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

# qenohost.pc names its prefix as the install finds it: /usr as it is
# (pkg-config then prints plain system paths), any other prefix by the
# file's own place, so that the tree can move.
file(RELATIVE_PATH qeno_pc_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" qeno_pc_to_prefix "${qeno_pc_to_prefix}")
set(QENO_PC_PREFIX "\${pcfiledir}/${qeno_pc_to_prefix}")
configure_file(cmake/qenohost.pc.in ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/relocatable/qenohost.pc @ONLY)
set(QENO_PC_PREFIX /usr)
configure_file(cmake/qenohost.pc.in ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/usr/qenohost.pc @ONLY)
install(CODE "
  set(kind relocatable)
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(kind usr)
  endif()
  file(INSTALL \"${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/\${kind}/qenohost.pc\"
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
" COMPONENT dev)

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

# What Debian keeps beside each package's files: the copyright file, the
# changelog (its newest entry must be this version's), and for qeno-host the
# reason lintian is told for the one tag it overrides.
file(STRINGS cmake/debian/changelog qeno_changelog_top LIMIT_COUNT 1)
if(NOT qeno_changelog_top MATCHES "^qeno-host \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog: the newest entry is not for ${PROJECT_VERSION}: "
                      "${qeno_changelog_top}")
endif()
configure_file(cmake/debian/changelog ${CMAKE_BINARY_DIR}/debian/changelog COPYONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/debian/changelog
                RESULT_VARIABLE qeno_gzip_status)
if(NOT qeno_gzip_status EQUAL 0)
  message(FATAL_ERROR "gzip of the changelog failed: ${qeno_gzip_status}")
endif()
foreach(component runtime dev)
  set(package qeno-host)
  if(component STREQUAL dev)
    set(package qeno-host-dev)
  endif()
  install(FILES cmake/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz
          DESTINATION ${QENO_INSTALL_DOC_DIR}/${package} COMPONENT ${component})
endforeach()
install(FILES cmake/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME qeno-host)
