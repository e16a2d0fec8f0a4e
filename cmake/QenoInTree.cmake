# Lets a module library of this repository build exactly as an author's
# does, with find_package(QenoHost) and qeno_add_module(), against the host
# this build makes:
# - the public headers are copied to sdk/include/qeno/ in the build, so
#   sources include <qeno/...> as from an installed prefix, and the host's
#   own folders (its private net/ above all) are not on their include path;
# - Qeno::host names that folder and the library this build links;
# - find_package(QenoHost) finds a package in the build's redirect folder
#   that brings qeno_add_module() and the version of this build.
# What the installed package gives is checked separately, by building the
# same sources against an installed prefix (scripts/install-check.sh).
include(CMakePackageConfigHelpers)

set(QENO_SDK_INCLUDE_DIR ${CMAKE_BINARY_DIR}/sdk/include)
file(GLOB qeno_sdk_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/host/*.h)
foreach(header ${qeno_sdk_headers} ${QENO_GENERATED_INCLUDE_DIR}/QenoVersion.h)
  get_filename_component(name ${header} NAME)
  configure_file(${header} ${QENO_SDK_INCLUDE_DIR}/qeno/${name} COPYONLY)
endforeach()

add_library(qeno_sdk INTERFACE)
target_include_directories(qeno_sdk INTERFACE ${QENO_SDK_INCLUDE_DIR})
target_compile_features(qeno_sdk INTERFACE cxx_std_20)
target_link_libraries(qeno_sdk INTERFACE $<TARGET_LINKER_FILE:qenohost> Threads::Threads)
add_dependencies(qeno_sdk qenohost)
add_library(Qeno::host ALIAS qeno_sdk)

# The stock modules install with the host's own, in its module folder.
file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/qenohost-config.cmake
  "include(\"${PROJECT_SOURCE_DIR}/cmake/QenoModule.cmake\")\n"
  "set(QENO_MODULE_INSTALL_DIR \"${QENO_INSTALL_MODULE_DIR}\")\n")
write_basic_package_version_file(${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/qenohost-config-version.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)

# qeno_add_module_folder(<folder> <target>...): builds the module folder's
# project inside this build, puts its libraries in the build's module folder
# (where qeno-host run from the build finds them) and holds them to this
# build's warnings.
function(qeno_add_module_folder folder)
  add_subdirectory(${folder})
  foreach(target ${ARGN})
    set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/modules)
    target_link_libraries(${target} PRIVATE qeno_warnings)
  endforeach()
endfunction()
