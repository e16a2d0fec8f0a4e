# What `cmake --install` puts in a prefix: the application, the framework
# library with its public headers and a CMake and pkg-config package for
# module authors, and the QenoServer module in the module folder. Every
# reference between them is relative, so the installed tree can be moved.
include(CMakePackageConfigHelpers)

set(QENO_INSTALL_MODULE_DIR lib/qeno/modules)
set(QENO_INSTALL_CMAKE_DIR lib/cmake/QenoHost)

set_target_properties(qenohost PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  EXPORT_NAME host)
set_target_properties(qeno-host PROPERTIES INSTALL_RPATH "$ORIGIN/../lib")
set_target_properties(qenoserver PROPERTIES INSTALL_RPATH "$ORIGIN/../..")

install(TARGETS qeno-host RUNTIME DESTINATION bin)
install(TARGETS qenohost EXPORT QenoHostTargets LIBRARY DESTINATION lib)
install(TARGETS qenoserver LIBRARY DESTINATION ${QENO_INSTALL_MODULE_DIR})

# The contract a module compiles against is every header at the top of host/;
# the socket internals in host/net/ stay private.
file(GLOB qeno_public_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/host/*.h)
install(FILES ${qeno_public_headers} ${QENO_GENERATED_INCLUDE_DIR}/QenoVersion.h
        DESTINATION include/qeno)

install(EXPORT QenoHostTargets NAMESPACE Qeno:: DESTINATION ${QENO_INSTALL_CMAKE_DIR})
configure_package_config_file(cmake/QenoHostConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/QenoHostConfig.cmake
  INSTALL_DESTINATION ${QENO_INSTALL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/QenoHostConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/QenoHostConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/QenoHostConfigVersion.cmake
  cmake/QenoModule.cmake
  DESTINATION ${QENO_INSTALL_CMAKE_DIR})

configure_file(cmake/qenohost.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qenohost.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qenohost.pc DESTINATION lib/pkgconfig)
