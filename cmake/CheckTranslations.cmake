# Fails when a translation (.ts) is not what lupdate makes of the code, or holds an entry that
# is not translated yet. Run by ctest (tests/CMakeLists.txt) as
#   cmake -DLUPDATE=... -DSOURCES=<file listing the sources> -DOPTIONS=<lupdate's options>
#         -DTS_FILES=<the .ts files> -DWORK=<scratch directory> -P CheckTranslations.cmake
# It changes none of the files it checks.
set(failed FALSE)
file(MAKE_DIRECTORY "${WORK}")
foreach(ts IN LISTS TS_FILES)
    get_filename_component(name "${ts}" NAME)
    set(copy "${WORK}/${name}")
    file(COPY_FILE "${ts}" "${copy}")
    execute_process(COMMAND "${LUPDATE}" ${OPTIONS} -silent "@${SOURCES}" -ts "${copy}"
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "lupdate could not update a copy of ${name}")
    endif()
    file(READ "${ts}" checked)
    file(READ "${copy}" updated)
    if(NOT checked STREQUAL updated)
        message(SEND_ERROR "${name} is out of date with the code: run "
                "'cmake --build build --target update_translations', translate what it added "
                "and commit the file")
        set(failed TRUE)
    endif()
    string(REGEX MATCHALL "<source>[^<]*</source>[ \n]*<translation type=\"unfinished\""
           unfinished "${updated}")
    if(unfinished)
        string(REGEX REPLACE "<source>([^<]*)</source>[^;]*" "\\1" texts "${unfinished}")
        message(SEND_ERROR "${name} has entries not translated yet: ${texts}")
        set(failed TRUE)
    endif()
endforeach()
if(failed)
    message(FATAL_ERROR "the translations are not current (docs/TRANSLATING.md)")
endif()
