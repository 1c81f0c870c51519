# SPDX-FileCopyrightText: 2026 memloupe developers
# SPDX-License-Identifier: GPL-2.0-or-later

# Records memloupe_demo for the sample of ./run-gui.sh. A failed recording
# must not fail the build: the generated sample stands in, and NOTE says in
# one line why, for run-gui.sh to show.
#   cmake -DMEMLOUPE=... -DDEMO=... -DOUTPUT=... -DNOTE=... -P record-sample.cmake

file(REMOVE ${OUTPUT} ${NOTE})
get_filename_component(directory ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${directory})

set(reason "")
if(NOT MEMLOUPE)
    set(reason "the recorder is not part of this build")
else()
    execute_process(COMMAND ${MEMLOUPE} -o ${OUTPUT} ${DEMO}
        RESULT_VARIABLE status
        OUTPUT_QUIET
        ERROR_VARIABLE errors
        TIMEOUT 60)
    if(NOT status STREQUAL "0")
        string(REGEX REPLACE "\n.*" "" first_error "${errors}")
        set(reason "recording memloupe_demo failed (${status}): ${first_error}")
    elseif(NOT EXISTS ${OUTPUT})
        set(reason "memloupe wrote no trace for memloupe_demo")
    else()
        file(SIZE ${OUTPUT} size)
        if(size EQUAL 0)
            set(reason "memloupe wrote an empty trace for memloupe_demo")
        endif()
    endif()
endif()

if(reason)
    file(REMOVE ${OUTPUT})
    file(WRITE ${NOTE} "${reason}\n")
    message(STATUS "No recording of the demo for the sample: ${reason}")
endif()
