# Run by cpack after it has written the .deb (CPACK_POST_BUILD_SCRIPTS). Takes the entry of the
# directory CPACK_INCYCLER_UNOWNED_DIR (the parent of the program's directory) out of the
# package's data archive, so that dpkg does not count the directory as the package's own;
# preinst creates it when it is missing. The archive is made again from its own members, in
# their order, with their modes and times, owned by root (GNU tar's --delete is no help: on
# cpack's archives it drops other members as well).

function(run)
    execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${work}" RESULT_VARIABLE rc
                    OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${ARGV0} failed (${rc}) on ${deb}: ${err}")
    endif()
    set(out "${out}" PARENT_SCOPE)
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    if(NOT deb MATCHES "\\.deb$")
        continue()
    endif()
    set(work "${deb}.disown")
    file(REMOVE_RECURSE "${work}")
    file(MAKE_DIRECTORY "${work}/data")
    run(ar x "${deb}")
    if(NOT EXISTS "${work}/data.tar.gz" OR NOT EXISTS "${work}/control.tar.gz")
        message(FATAL_ERROR "${deb}: expected control.tar.gz and data.tar.gz in the package")
    endif()
    run(tar -tzf data.tar.gz)
    string(REPLACE "\n" ";" members "${out}")
    list(FILTER members EXCLUDE REGEX "^$")
    list(FIND members "${CPACK_INCYCLER_UNOWNED_DIR}" found)
    if(found LESS 0)
        message(FATAL_ERROR "${deb}: no member ${CPACK_INCYCLER_UNOWNED_DIR} to take out")
    endif()
    list(REMOVE_AT members ${found})
    list(JOIN members "\n" kept)
    file(WRITE "${work}/members" "${kept}\n")
    run(tar -xpzf data.tar.gz -C data)
    file(REMOVE "${work}/data.tar.gz")
    run(tar -C data -cf data.tar --format=gnu --no-recursion --owner=root:0 --group=root:0
        -T members)
    run(gzip -9 -n data.tar)
    file(REMOVE "${deb}")
    # dpkg wants the members in this order.
    run(ar rcD "${deb}" debian-binary control.tar.gz data.tar.gz)
    file(REMOVE_RECURSE "${work}")
    message(STATUS "${deb}: ${CPACK_INCYCLER_UNOWNED_DIR} left to the system")
endforeach()
