# Renders every manual page in DIR with groff at full warning level, then
# through man itself; any diagnostic fails. Usage: cmake -DDIR=<dir> -P <this>
file(GLOB pages ${DIR}/*.[1-8])
if(NOT pages)
  message(FATAL_ERROR "no manual pages in ${DIR}")
endif()
foreach(page IN LISTS pages)
  execute_process(COMMAND groff -man -Tutf8 -ww -z ${page}
    RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
    message(SEND_ERROR "${page}: groff:\n${err}")
  endif()
  # man -l with its own checks (the same as lintian's): line lengths, macro use.
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 MANROFFSEQ= MANWIDTH=80
      man --warnings -E UTF-8 -l -Tutf8 -Z ${page}
    RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
    message(SEND_ERROR "${page}: man:\n${err}")
  endif()
endforeach()
