# The systemd unit template qeno-host@.service, in lib/systemd/system of the
# prefix. It names the program by its installed path, so it is configured
# when installing, with the prefix of that install (/usr in the package).
install(CODE "
  set(QENO_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/service/qeno-host@.service.in\"
                 \"${CMAKE_BINARY_DIR}/service/qeno-host@.service\" @ONLY)
  file(INSTALL \"${CMAKE_BINARY_DIR}/service/qeno-host@.service\"
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
" COMPONENT runtime)
