# The help: the pages we write (help/ at the top of the tree) and the window that shows them.
# Included by the editor's main folder; everything here is named by absolute path so that the
# including folder does not matter.

set(MARNEL_HELP_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../help)
get_filename_component(MARNEL_HELP_SOURCE_DIR ${MARNEL_HELP_SOURCE_DIR} ABSOLUTE)
# The pages travel with the programs: the window looks for them in "help" beside the executable.
set(MARNEL_HELP_OUTPUT_DIR ${CMAKE_BINARY_DIR}/bin/help)

add_library(marnel_help STATIC
  ${CMAKE_CURRENT_LIST_DIR}/main/chelp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/main/chelp.h
  ${CMAKE_CURRENT_LIST_DIR}/main/help_window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/main/help_window.h
)
set_target_properties(marnel_help PROPERTIES AUTOMOC ON)
target_include_directories(marnel_help PUBLIC ${CMAKE_CURRENT_LIST_DIR}/main)
target_link_libraries(marnel_help PUBLIC Qt6::Widgets)
# Where the pages are written, for the tests that check them (read with $<TARGET_PROPERTY>).
set_target_properties(marnel_help PROPERTIES MARNEL_HELP_SOURCE_DIR ${MARNEL_HELP_SOURCE_DIR})
# Installed, the pages are not beside the programs but in the data folder of the same prefix.
file(RELATIVE_PATH MARNEL_HELP_FROM_PROGRAM /${MARNEL_INSTALL_PROGRAM_DIR} /${MARNEL_INSTALL_HELP_DIR})
target_compile_definitions(marnel_help PRIVATE
  MARNEL_INSTALLED_HELP_FROM_PROGRAM="${MARNEL_HELP_FROM_PROGRAM}")

# Copy the pages whenever one of them changes; a new or removed page is seen at the next
# configure (CONFIGURE_DEPENDS), and the folder is emptied first so that no removed page lingers.
file(GLOB MARNEL_HELP_PAGES CONFIGURE_DEPENDS
     ${MARNEL_HELP_SOURCE_DIR}/*.html
     ${MARNEL_HELP_SOURCE_DIR}/*.css
     ${MARNEL_HELP_SOURCE_DIR}/*.txt)
set(MARNEL_HELP_STAMP ${CMAKE_CURRENT_BINARY_DIR}/marnel_help_pages.stamp)
add_custom_command(
  OUTPUT ${MARNEL_HELP_STAMP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${MARNEL_HELP_OUTPUT_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${MARNEL_HELP_SOURCE_DIR} ${MARNEL_HELP_OUTPUT_DIR}
  COMMAND ${CMAKE_COMMAND} -E touch ${MARNEL_HELP_STAMP}
  DEPENDS ${MARNEL_HELP_PAGES}
  COMMENT "Copying the help pages to ${MARNEL_HELP_OUTPUT_DIR}"
  VERBATIM)
add_custom_target(marnel_help_pages DEPENDS ${MARNEL_HELP_STAMP})
add_dependencies(marnel_help marnel_help_pages)
install(FILES ${MARNEL_HELP_PAGES} DESTINATION ${MARNEL_INSTALL_HELP_DIR})
