# SPDX-FileCopyrightText: 2026 memloupe developers
# SPDX-License-Identifier: GPL-2.0-or-later
#
# One golden case: runs memloupe_report --json on tests/data/NAME.<ext> (the
# first of NAME.trace, NAME.trace.gz, NAME.trace.zst that exists) and compares
# standard output with NAME.expected.json and standard error with
# NAME.expected.stderr (a missing .stderr file means: nothing on stderr).
# Extra report arguments come from NAME.args (one line), if present.
#
# After an intended change of the output, rewrite the expected files with
#   MEMLOUPE_UPDATE_GOLDEN=1 ctest -R golden_
# and review the difference with git diff before committing it.
#
# Variables: REPORT (path of memloupe_report), DATA (tests/data), NAME, OUT (a
# scratch directory for the actual output).

foreach(ext trace trace.gz trace.zst)
    if(EXISTS ${DATA}/${NAME}.${ext})
        set(input ${NAME}.${ext})
        break()
    endif()
endforeach()
if(NOT input)
    message(FATAL_ERROR "no trace for golden case ${NAME} in ${DATA}")
endif()

set(args "")
if(EXISTS ${DATA}/${NAME}.args)
    file(READ ${DATA}/${NAME}.args args)
    string(STRIP "${args}" args)
    separate_arguments(args UNIX_COMMAND "${args}")
endif()

# run from the data folder so that the file names in the output are relative
execute_process(COMMAND ${REPORT} --json ${args} ${input}
    WORKING_DIRECTORY ${DATA}
    OUTPUT_VARIABLE actual_out
    ERROR_VARIABLE actual_err
    RESULT_VARIABLE status)
set(actual_out "exit status ${status}\n${actual_out}")

set(expected_json ${DATA}/${NAME}.expected.json)
set(expected_err ${DATA}/${NAME}.expected.stderr)
if("$ENV{MEMLOUPE_UPDATE_GOLDEN}" STREQUAL "1")
    file(WRITE ${expected_json} "${actual_out}")
    if(actual_err STREQUAL "")
        file(REMOVE ${expected_err})
    else()
        file(WRITE ${expected_err} "${actual_err}")
    endif()
    message(STATUS "rewrote the expected output of ${NAME}")
    return()
endif()

if(NOT EXISTS ${expected_json})
    message(FATAL_ERROR "${expected_json} is missing: run with MEMLOUPE_UPDATE_GOLDEN=1 to create it")
endif()
file(READ ${expected_json} expected_out)
set(expected_errtext "")
if(EXISTS ${expected_err})
    file(READ ${expected_err} expected_errtext)
endif()

set(failed FALSE)
file(MAKE_DIRECTORY ${OUT})
if(NOT actual_out STREQUAL expected_out)
    file(WRITE ${OUT}/${NAME}.actual.json "${actual_out}")
    message(SEND_ERROR "${NAME}: standard output differs; compare with\n  diff -u ${expected_json} ${OUT}/${NAME}.actual.json")
    set(failed TRUE)
endif()
if(NOT actual_err STREQUAL expected_errtext)
    file(WRITE ${OUT}/${NAME}.actual.stderr "${actual_err}")
    message(SEND_ERROR "${NAME}: standard error differs:\n--- expected\n${expected_errtext}--- actual\n${actual_err}")
    set(failed TRUE)
endif()
if(failed)
    message(FATAL_ERROR "golden case ${NAME} failed")
endif()
