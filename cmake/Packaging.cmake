# The Debian package: `cpack -G DEB` in a build folder makes quorvex_<version>_<arch>.deb
# from the install rules. Included once, from the top-level CMakeLists.txt, after every
# folder has declared what it installs.

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "quorvex")
set(CPACK_PACKAGE_VENDOR "Quorvex developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "Quorvex developers <dev@quorvex.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quorvex developers <dev@quorvex.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The summary line comes from the project's description; this is the text below it, in
# lines that fit the 80 columns package managers show.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Quorvex sets and reads the properties of single-phase and three-phase
electricity meters over an RS-485 line (bus address, baud rate, parity,
display, decimals, serial number, password, CT ratio), clears their energy,
and reads all measured values in one request, keeping every reading in a
table. Settings and reads are Modbus RTU requests; clearing to zero sends the
DL/T 645-2007 meter-clear frame. Every request and reply is shown as
hexadecimal text.

The package includes quorvex-metersim, a simulated meter on a
pseudo-terminal, to try the tool without hardware.")
# The shared libraries the programs link are found by dpkg-shlibdeps; Qt's platform
# plugins are loaded at run time, so no library dependency names them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# The window's captions are partly Chinese.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk | fonts-wqy-microhei")

# The licence and the history, where Debian keeps them for every package: the copyright in
# its machine-readable form (the full licence text is in base-files), the changelog
# compressed without a timestamp so that two builds of one version give the same file.
set(QUORVEX_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/quorvex)
set(quorvex_changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${quorvex_changelog}
    COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${quorvex_changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
    VERBATIM)
add_custom_target(quorvex-changelog ALL DEPENDS ${quorvex_changelog})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${quorvex_changelog}
        DESTINATION ${QUORVEX_DOCDIR})

include(CPack)
