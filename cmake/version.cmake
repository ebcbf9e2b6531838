# The version of project() as a header, so that the programs' --version, the report's PROGRAM
# VERSION line and the package cannot drift apart. Link marnel_version to include it.
configure_file(${CMAKE_CURRENT_LIST_DIR}/marnel_version.h.in
               ${CMAKE_BINARY_DIR}/generated/marnel_version.h @ONLY)
add_library(marnel_version INTERFACE)
target_include_directories(marnel_version INTERFACE ${CMAKE_BINARY_DIR}/generated)

# Where things go when installed (relative to the prefix, so that a staging root works too).
# The programs sit beside the two libraries they load from their own folder, with links in bin.
include(GNUInstallDirs)
set(MARNEL_INSTALL_PROGRAM_DIR lib/marnel)
set(MARNEL_INSTALL_HELP_DIR ${CMAKE_INSTALL_DATADIR}/marnel/help)
