# cmake -DNAME=name -P run_checks.cmake COMMAND [ARG...]: runs a script test that prints
# "NAME: N checks" (or "NAME: N checks planned") first and "NAME: P passed, F failed" last, shows
# its output, and passes only when P is the N it planned and F is 0. The count lives in the
# script alone, and a script that dies, stops early or skips checks fails, whatever its status.
# The arguments after the script's path are the command.
set(command)
set(after_p OFF)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE 1 ${last})
    if(after_p)
        list(APPEND command "${CMAKE_ARGV${i}}")
    elseif(CMAKE_ARGV${i} STREQUAL "-P")
        set(after_p ON)
    endif()
endforeach()
list(POP_FRONT command)  # this file
if(NOT NAME OR NOT command)
    message(FATAL_ERROR "usage: cmake -DNAME=name -P run_checks.cmake COMMAND [ARG...]")
endif()

execute_process(COMMAND ${command} RESULT_VARIABLE status
                OUTPUT_VARIABLE output ERROR_VARIABLE output
                ECHO_OUTPUT_VARIABLE ECHO_ERROR_VARIABLE)
set(planned "")
set(passed 0)
set(failed 0)
if(output MATCHES "(^|\n)${NAME}: ([0-9]+) checks( planned)?\n")
    set(planned ${CMAKE_MATCH_2})
endif()
if(output MATCHES "(^|\n)${NAME}: ([0-9]+) passed, ([0-9]+) failed\n")
    set(passed ${CMAKE_MATCH_2})
    set(failed ${CMAKE_MATCH_3})
endif()
if(planned STREQUAL "" OR NOT passed EQUAL planned OR NOT failed EQUAL 0 OR NOT status EQUAL 0)
    if(planned STREQUAL "")
        set(planned "its")
    endif()
    message(FATAL_ERROR "${NAME}: FAILED, ${passed} of ${planned} planned checks passed, "
                        "${failed} failed, exit status ${status}")
endif()
message("${NAME}: all ${planned} planned checks passed")
