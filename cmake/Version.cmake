# tessaline::version: <tessaline/Version.h> with TESSALINE_VERSION taken from
# project(VERSION ...). Programs link it for --version.
configure_file(${CMAKE_CURRENT_LIST_DIR}/Version.h.in
               ${PROJECT_BINARY_DIR}/generated/tessaline/Version.h @ONLY)
add_library(tessaline_version INTERFACE)
add_library(tessaline::version ALIAS tessaline_version)
target_include_directories(tessaline_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
