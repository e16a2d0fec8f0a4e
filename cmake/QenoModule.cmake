# qeno_add_module(<target> <source>...)
# A module library for qeno-host: a shared library loaded with dlopen,
# linked against Qeno::host, exporting nothing (it registers its classes when
# it loads), with every symbol resolved when it links.
# Install it into ${QENO_MODULE_INSTALL_DIR} below the host's prefix, or put
# it in a folder given to qeno-host with --module-path or QENO_MODULE_PATH.
set(QENO_MODULE_INSTALL_DIR lib/qeno/modules)

function(qeno_add_module target)
  add_library(${target} MODULE ${ARGN})
  target_link_libraries(${target} PRIVATE Qeno::host)
  set_target_properties(${target} PROPERTIES
    PREFIX "lib"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_options(${target} PRIVATE -Wl,-z,defs)
endfunction()
