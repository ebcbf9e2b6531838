# What the programs need beyond install(TARGETS) of their own folders, and the Debian package
# that CPack makes of it all (cpack -G DEB in the build folder, or scripts/package).
#
# The programs live in lib/marnel beside libkov.so and libkovos.so, which they load from their
# own (real) folder; bin holds relative links to them, so that the tree works under any prefix
# and unpacked under any root.

set(MARNEL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(MARNEL_PACKAGING_BINARY_DIR ${CMAKE_BINARY_DIR}/packaging)
set(MARNEL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/marnel)

set(marnel_programs kovrun)
if(MARNEL_BUILD_GUI)
  list(APPEND marnel_programs kovexec marnel)
endif()
file(RELATIVE_PATH marnel_bin_to_programs /${CMAKE_INSTALL_BINDIR} /${MARNEL_INSTALL_PROGRAM_DIR})
file(MAKE_DIRECTORY ${MARNEL_PACKAGING_BINARY_DIR}/bin)
foreach(program ${marnel_programs})
  file(CREATE_LINK ${marnel_bin_to_programs}/${program} ${MARNEL_PACKAGING_BINARY_DIR}/bin/${program}
       SYMBOLIC)
  install(FILES ${MARNEL_PACKAGING_BINARY_DIR}/bin/${program} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${MARNEL_DOC_DIR}/examples)
install(FILES ${MARNEL_PACKAGING_DIR}/copyright DESTINATION ${MARNEL_DOC_DIR})

# The version goes into the manual pages and the AppStream release; the date of that release is
# the build's (SOURCE_DATE_EPOCH when it is set, for a reproducible package).
string(TIMESTAMP MARNEL_RELEASE_DATE "%Y-%m-%d" UTC)
foreach(page kovrun.1 kovexec.1)
  configure_file(${MARNEL_PACKAGING_DIR}/man/${page} ${MARNEL_PACKAGING_BINARY_DIR}/man/${page} @ONLY)
endforeach()
install(FILES ${MARNEL_PACKAGING_BINARY_DIR}/man/kovrun.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

if(MARNEL_BUILD_GUI)
  install(FILES ${MARNEL_PACKAGING_BINARY_DIR}/man/kovexec.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${MARNEL_PACKAGING_DIR}/marnel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${MARNEL_PACKAGING_DIR}/marnel-mime.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages
          RENAME marnel.xml)
  install(FILES ${MARNEL_PACKAGING_DIR}/marnel.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  configure_file(${MARNEL_PACKAGING_DIR}/io.marnel.Marnel.metainfo.xml
                 ${MARNEL_PACKAGING_BINARY_DIR}/io.marnel.Marnel.metainfo.xml @ONLY)
  install(FILES ${MARNEL_PACKAGING_BINARY_DIR}/io.marnel.Marnel.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME marnel)
set(CPACK_PACKAGE_VENDOR "The Marnel developers")
set(CPACK_PACKAGE_CONTACT "The Marnel developers <marnel@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Latent class and latent transition models: editor and engine")
set(CPACK_PACKAGE_DESCRIPTION
    "Marnel fits latent class and latent transition models to categorical data by EM and by\n"
    "data augmentation. The package holds the editor (marnel), its run host (kovexec), the\n"
    "terminal runner (kovrun), the engine library, the help pages and example models.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# dpkg-shlibdeps names the packages of every shared library the programs link (Qt among them),
# so that apt-get install ./marnel_*.deb brings them; our own two libraries are found beside the
# programs through their $ORIGIN run path.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The editor registers the .cnt type and its icon; the desktop's caches pick them up through
# these packages' triggers.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "shared-mime-info, desktop-file-utils, hicolor-icon-theme")
# Qt finds no display server without its platform plugins, which are not linked libraries.
if(MARNEL_BUILD_GUI)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
endif()
include(CPack)
