# Install layout, used by `cmake --install` and by the Debian package built from it.
#
#   /opt/incycler/InCycler                 the program, in a directory of its own; the operation
#   /opt/incycler/incycler-sim             log InCycler.log is kept beside it
#   /opt/incycler/incycler-web             the network service
#   /usr/bin/InCycler -> /opt/incycler/InCycler
#   /usr/bin/incycler-sim -> /opt/incycler/incycler-sim
#   /usr/bin/incycler-web -> /opt/incycler/incycler-web
#   /usr/share/applications/incycler.desktop
#   /usr/share/icons/hicolor/scalable/apps/incycler.svg
#   /usr/share/icons/hicolor/<n>x<n>/apps/incycler.png   n = 16 ... 256, rendered from the SVG
#   /usr/share/metainfo/<AppStream id>.metainfo.xml      for software centres
#   /usr/share/man/man1/InCycler.1.gz, incycler-sim.1.gz, incycler-web.1.gz
#   /usr/share/doc/incycler/examples/incycler-autostart.desktop, rotate-lobby.conf, web.conf
#   /usr/share/doc/incycler/CONTROL.md                   the owner's socket and its protocol
#   /usr/share/doc/incycler/WEB-API.md                   the network service's API
#   /usr/lib/systemd/system/incycler-rotate@.service     the rotation as a service, not enabled
#   /usr/lib/systemd/system/incycler-web.service         the network service, not enabled
#   /usr/lib/tmpfiles.d/incycler.conf                    /run/incycler, the owners' sockets
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

foreach(_program InCycler incycler-sim incycler-web)
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

# Menus, panels and software centres that take no SVG want PNGs in the usual sizes. They are
# rendered here rather than kept in the tree, so that they cannot drift from the SVG.
find_program(INCYCLER_RSVG_CONVERT rsvg-convert)
if(INCYCLER_RSVG_CONVERT)
    set(_incycler_png_files)
    foreach(_size 16 22 24 32 48 64 128 256)
        set(_out "${PROJECT_BINARY_DIR}/icons/${_size}x${_size}/incycler.png")
        add_custom_command(
            OUTPUT "${_out}"
            COMMAND ${CMAKE_COMMAND} -E make_directory "${PROJECT_BINARY_DIR}/icons/${_size}x${_size}"
            COMMAND "${INCYCLER_RSVG_CONVERT}" -w ${_size} -h ${_size} -o "${_out}"
                    "${PROJECT_SOURCE_DIR}/data/incycler.svg"
            DEPENDS "${PROJECT_SOURCE_DIR}/data/incycler.svg"
            COMMENT "Rendering the ${_size}x${_size} icon"
            VERBATIM)
        list(APPEND _incycler_png_files "${_out}")
        install(FILES "${_out}" DESTINATION "${_incycler_share}/icons/hicolor/${_size}x${_size}/apps")
    endforeach()
    add_custom_target(incycler_icons ALL DEPENDS ${_incycler_png_files})
else()
    message(STATUS "rsvg-convert (librsvg2-bin) not found: no PNG icons; the SVG alone is installed")
endif()

# AppStream metadata; the release it names is the changelog's newest (cmake/Changelog.cmake).
# The id is the reverse of the project's domain (that of the maintainer address) and the name;
# software centres track the program by it, so it must not change once released.
include("${CMAKE_CURRENT_LIST_DIR}/Changelog.cmake")
set(INCYCLER_APPSTREAM_ID "example.c_seed_3c975f79.incycler")
set(INCYCLER_SCREENSHOT_URL
    "https://c-seed-3c975f79.example/incycler/raw/main/docs/screenshot.png"
    CACHE STRING "Web address of docs/screenshot.png as published, for the AppStream metadata")
configure_file("${PROJECT_SOURCE_DIR}/data/incycler.metainfo.xml.in"
               "${PROJECT_BINARY_DIR}/${INCYCLER_APPSTREAM_ID}.metainfo.xml" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/${INCYCLER_APPSTREAM_ID}.metainfo.xml"
        DESTINATION "${_incycler_share}/metainfo")

install(FILES "${PROJECT_SOURCE_DIR}/data/incycler-autostart.desktop"
              "${PROJECT_SOURCE_DIR}/data/rotate-lobby.conf"
              "${PROJECT_SOURCE_DIR}/data/web.conf"
        DESTINATION "${_incycler_share}/doc/incycler/examples")
install(FILES "${PROJECT_SOURCE_DIR}/docs/CONTROL.md" "${PROJECT_SOURCE_DIR}/docs/WEB-API.md"
        DESTINATION "${_incycler_share}/doc/incycler")
install(FILES "${PROJECT_SOURCE_DIR}/data/incycler-rotate@.service"
              "${PROJECT_SOURCE_DIR}/data/incycler-web.service"
        DESTINATION "${INCYCLER_SYSTEM_PREFIX}/lib/systemd/system")
install(FILES "${PROJECT_SOURCE_DIR}/data/incycler.tmpfiles"
        DESTINATION "${INCYCLER_SYSTEM_PREFIX}/lib/tmpfiles.d" RENAME incycler.conf)

# Manual pages, compressed as Debian expects when gzip is at hand.
find_program(INCYCLER_GZIP gzip)
set(_incycler_man_files)
foreach(_page InCycler.1 incycler-sim.1 incycler-web.1)
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
