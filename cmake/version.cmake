# The project's version, for `ztpack --version` and the stubs' version resource: one generated
# header, zt_version.h, in the build tree.
configure_file(${CMAKE_CURRENT_LIST_DIR}/zt_version.h.in ${PROJECT_BINARY_DIR}/generated/zt_version.h @ONLY)
add_library(zt_version INTERFACE)
target_include_directories(zt_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
