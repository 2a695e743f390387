# Install layout, used by `cmake --install` and by the Debian package built from it.
#
#   /opt/incycler/InCycler                 the program, in a directory of its own; the operation
#   /opt/incycler/incycler-sim             log InCycler.log is kept beside it
#   /usr/bin/InCycler -> /opt/incycler/InCycler
#   /usr/bin/incycler-sim -> /opt/incycler/incycler-sim
#   /usr/share/applications/incycler.desktop
#   /usr/share/icons/hicolor/scalable/apps/incycler.svg
#   /usr/share/man/man1/InCycler.1.gz, incycler-sim.1.gz
#   /usr/share/doc/incycler/examples/incycler-autostart.desktop
#
# Every destination is absolute, so the install prefix does not move them; stage an install with
#   DESTDIR=/tmp/stage cmake --install build
# The links are made by install(CODE) and honour DESTDIR as well.

set(INCYCLER_INSTALL_DIR "/opt/incycler"
    CACHE PATH "Directory of the installed programs (the log InCycler.log lives there too)")
set(INCYCLER_SYSTEM_PREFIX "/usr"
    CACHE PATH "Prefix of the command links, desktop entry, icon and manual pages")

# Anything installed with a relative destination lands in the program's directory as well.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX "${INCYCLER_INSTALL_DIR}" CACHE PATH "Install prefix" FORCE)
endif()

set(_incycler_share "${INCYCLER_SYSTEM_PREFIX}/share")

# A symbolic link at <link> (absolute, below DESTDIR) pointing to <target> (absolute, as seen on
# the installed system).
function(incycler_install_link target link)
    install(CODE "
        set(_link \"\$ENV{DESTDIR}${link}\")
        get_filename_component(_dir \"\${_link}\" DIRECTORY)
        file(MAKE_DIRECTORY \"\${_dir}\")
        message(STATUS \"Installing: \${_link} -> ${target}\")
        file(CREATE_LINK \"${target}\" \"\${_link}\" SYMBOLIC)
        list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${_link}\")
    ")
endfunction()

foreach(_program InCycler incycler-sim)
    if(TARGET ${_program})
        install(TARGETS ${_program} RUNTIME DESTINATION "${INCYCLER_INSTALL_DIR}")
        incycler_install_link("${INCYCLER_INSTALL_DIR}/${_program}"
                              "${INCYCLER_SYSTEM_PREFIX}/bin/${_program}")
    endif()
endforeach()

install(FILES "${PROJECT_SOURCE_DIR}/data/incycler.desktop"
        DESTINATION "${_incycler_share}/applications")
install(FILES "${PROJECT_SOURCE_DIR}/data/incycler.svg"
        DESTINATION "${_incycler_share}/icons/hicolor/scalable/apps")
install(FILES "${PROJECT_SOURCE_DIR}/data/incycler-autostart.desktop"
        DESTINATION "${_incycler_share}/doc/incycler/examples")

# Manual pages, compressed as Debian expects when gzip is at hand.
find_program(INCYCLER_GZIP gzip)
set(_incycler_man_files)
foreach(_page InCycler.1 incycler-sim.1)
    set(_src "${PROJECT_SOURCE_DIR}/docs/man/${_page}")
    if(INCYCLER_GZIP)
        set(_out "${PROJECT_BINARY_DIR}/man/${_page}.gz")
        add_custom_command(
            OUTPUT "${_out}"
            COMMAND ${CMAKE_COMMAND} -E make_directory "${PROJECT_BINARY_DIR}/man"
            COMMAND ${CMAKE_COMMAND} -E copy "${_src}" "${PROJECT_BINARY_DIR}/man/${_page}"
            COMMAND "${INCYCLER_GZIP}" -9 -n -f "${PROJECT_BINARY_DIR}/man/${_page}"
            DEPENDS "${_src}"
            COMMENT "Compressing manual page ${_page}"
            VERBATIM)
        list(APPEND _incycler_man_files "${_out}")
    else()
        list(APPEND _incycler_man_files "${_src}")
    endif()
endforeach()
add_custom_target(incycler_man ALL DEPENDS ${_incycler_man_files})
install(FILES ${_incycler_man_files} DESTINATION "${_incycler_share}/man/man1")
