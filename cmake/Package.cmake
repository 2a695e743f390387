# The Debian package "incycler", made by CPack from the install layout of cmake/Install.cmake:
#   cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release && cmake --build build-package
#   cd build-package && cpack -G DEB
# scripts/package does all of this.

set(INCYCLER_PACKAGE_MAINTAINER "InCycler maintainers <maintainers@users.noreply.c-seed-3c975f79.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "incycler")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "InCycler")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "controller for RSX-24P/RSX-24Q audio/video input switchers")
set(CPACK_PACKAGE_CONTACT "${INCYCLER_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "incycler")
set(CPACK_STRIP_FILES ON)

# The destinations are absolute (/opt/incycler, /usr/...): stage them below DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "${INCYCLER_INSTALL_DIR}")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME "incycler")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${INCYCLER_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY; CPack indents these lines and turns the empty
# one into the paragraph separator.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "InCycler drives a three-input audio/video switcher (RSX-24P or RSX-24Q)
over an RS-232 serial port. It switches the device's power and inputs by
hand, or rotates through a chosen set of inputs at a fixed interval, all
the time or inside a daily time window, from a window with a tray icon.
Started with a port, a model and a command it sends that one command
without a window, for use from cron or systemd timers. Started with
--rotate it begins the rotation by itself, with or without a desktop;
the template unit incycler-rotate@.service runs it as a service.

incycler-web serves the InCyclers of the machine over HTTP and WebSocket
(JSON, a token, HTTPS with a certificate) to control systems, Home
Assistant, Companion or Node-RED, with the switcher's state pushed live.
It opens no serial port: it speaks to the InCycler that holds each port.
The unit incycler-web.service runs it, sandboxed, as a service.

The package also holds incycler-sim, a virtual switcher on a
pseudo-terminal for trying the program without the hardware.")

# dpkg-shlibdeps (dpkg-dev) finds the libraries the programs link: Qt, C and C++. Listed here is
# only what Qt loads at run time: the platform plugins (xcb, offscreen), the SVG icon engine,
# and a Japanese font, without which every label is a row of boxes.
set(_incycler_depends
    "qt6-qpa-plugins (>= 6.4)" "libqt6svg6 (>= 6.4)"
    "fonts-noto-cjk | fonts-ipafont-gothic | fonts-vlgothic")
# What the programs use when present: Qt's Wayland platform plugin, for a Wayland desktop
# without XWayland, and Qt's catalogue, which puts the texts of Qt's own (a box's button, a
# field's context menu) in the window's language.
set(_incycler_recommends "qt6-wayland (>= 6.4)" "qt6-translations-l10n (>= 6.4)")
find_program(INCYCLER_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(INCYCLER_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    message(STATUS "dpkg-shlibdeps (dpkg-dev) not found: the package lists the Qt libraries by hand")
    list(PREPEND _incycler_depends "libqt6core6 (>= 6.4)" "libqt6gui6 (>= 6.4)"
         "libqt6widgets6 (>= 6.4)" "libqt6serialport6 (>= 6.4)" "libqt6network6 (>= 6.4)"
         "libqt6httpserver6 (>= 6.4)" "libqt6websockets6 (>= 6.4)")
endif()
list(JOIN _incycler_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
if(_incycler_recommends)
    list(JOIN _incycler_recommends ", " CPACK_DEBIAN_PACKAGE_RECOMMENDS)
endif()

# Debian's own files for the package. The version has no Debian revision (a native package), so
# lintian looks for the changelog as changelog.gz.
set(_incycler_doc "${INCYCLER_SYSTEM_PREFIX}/share/doc/incycler")
install(FILES "${PROJECT_SOURCE_DIR}/cmake/debian/copyright" DESTINATION "${_incycler_doc}")
set(_changelog_gz "${PROJECT_BINARY_DIR}/debian/changelog.gz")
add_custom_command(
    OUTPUT "${_changelog_gz}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${PROJECT_BINARY_DIR}/debian"
    COMMAND ${CMAKE_COMMAND} -E copy "${PROJECT_SOURCE_DIR}/cmake/debian/changelog"
            "${PROJECT_BINARY_DIR}/debian/changelog"
    COMMAND gzip -9 -n -f "${PROJECT_BINARY_DIR}/debian/changelog"
    DEPENDS "${PROJECT_SOURCE_DIR}/cmake/debian/changelog"
    COMMENT "Compressing the changelog"
    VERBATIM)
add_custom_target(incycler_changelog ALL DEPENDS "${_changelog_gz}")
install(FILES "${_changelog_gz}" DESTINATION "${_incycler_doc}")
install(FILES "${PROJECT_SOURCE_DIR}/cmake/debian/lintian-overrides"
        DESTINATION "${INCYCLER_SYSTEM_PREFIX}/share/lintian/overrides" RENAME incycler)

# The operation log lives in INCYCLER_LOG_DIR, linked from the program's directory (postinst).
set(INCYCLER_LOG_DIR "/var/opt/incycler" CACHE PATH "Directory of the packaged operation log")
get_filename_component(INCYCLER_INSTALL_PARENT "${INCYCLER_INSTALL_DIR}" DIRECTORY)
# preinst makes sure the program directory's parent exists, postinst creates the log and its
# link, postrm removes them on purge.
foreach(_script preinst postinst postrm)
    configure_file("${PROJECT_SOURCE_DIR}/cmake/debian/${_script}.in"
                   "${PROJECT_BINARY_DIR}/debian/${_script}" @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_BINARY_DIR}/debian/preinst;${PROJECT_BINARY_DIR}/debian/postinst;${PROJECT_BINARY_DIR}/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

# CPack lists every parent directory of the files, and so /opt as the package's own: a purge
# would then try to remove /opt. The step after packing takes that one entry out again.
set(CPACK_DEBIAN_COMPRESSION_TYPE "gzip")
set(CPACK_INCYCLER_UNOWNED_DIR ".${INCYCLER_INSTALL_PARENT}/")
set(CPACK_POST_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/debian/DisownDirectory.cmake")

include(CPack)
