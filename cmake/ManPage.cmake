# qvx_install_man_page(<page>): installs <page> (e.g. quorvex.1) of the calling folder,
# compressed as Debian keeps manual pages (gzip -9 -n: no name or time in the header, so the
# package builds the same twice).
function(qvx_install_man_page page)
    set(compressed ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz)
    add_custom_command(OUTPUT ${compressed}
        COMMAND gzip -9 -n -c ${CMAKE_CURRENT_SOURCE_DIR}/${page} > ${compressed}
        DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${page}
        VERBATIM)
    add_custom_target(${page}-man ALL DEPENDS ${compressed})
    string(REGEX MATCH "[0-9]+$" section ${page})
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()
