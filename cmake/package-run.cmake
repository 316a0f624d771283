# run(COMMAND...): for cpack's scripts, a command that must succeed.
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status ERROR_VARIABLE error)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${ARGN}: exit status ${status}: ${error}")
    endif()
endfunction()
