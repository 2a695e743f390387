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
without a window, for use from cron or systemd timers.

The package also holds incycler-sim, a virtual switcher on a
pseudo-terminal for trying the program without the hardware.")

# Qt 6.4 runtime; the offscreen and xcb platform plugins come from qt6-qpa-plugins, the SVG icon
# engine from libqt6svg6. dpkg-shlibdeps (dpkg-dev) adds the C and C++ libraries when present.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), libqt6serialport6 (>= 6.4), libqt6svg6 (>= 6.4), qt6-qpa-plugins (>= 6.4)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk")
find_program(INCYCLER_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(INCYCLER_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

# postinst creates the log, group dialout, mode 0664; postrm removes it on purge.
foreach(_script postinst postrm)
    configure_file("${PROJECT_SOURCE_DIR}/cmake/debian/${_script}.in"
                   "${PROJECT_BINARY_DIR}/debian/${_script}" @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_BINARY_DIR}/debian/postinst;${PROJECT_BINARY_DIR}/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)
