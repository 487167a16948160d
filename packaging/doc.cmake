# What the documentation package holds besides the examples, made into OUT:
# html/ (the API reference, as ./dev docs makes it) and
# threads-and-processes.md (README.md's sections on threads, callbacks,
# error codes and several processes, cut from README.md so that they cannot
# drift apart).
# Usage: cmake -DDOXYGEN=<exe> -DSRC=<source root> -DOUT=<dir> -DVERSION=<v> -P doc.cmake
if(NOT DOXYGEN)
  message(FATAL_ERROR "the documentation package needs doxygen")
endif()
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT})
file(READ ${SRC}/docs/Doxyfile config)
file(WRITE ${OUT}/Doxyfile "${config}\nOUTPUT_DIRECTORY = ${OUT}\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E env KYR_VERSION=${VERSION} ${DOXYGEN} ${OUT}/Doxyfile
  WORKING_DIRECTORY ${SRC} COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE ${OUT}/Doxyfile)

file(READ ${SRC}/README.md readme)
set(rules "# KyrHIDLib: threads, callbacks and processes\n\nFrom the project's README.\n")
foreach(section "Threads and callbacks" "Error codes" "Several processes")
  string(FIND "${readme}" "\n## ${section}\n" start)
  if(start EQUAL -1)
    message(FATAL_ERROR "README.md has no section '${section}'")
  endif()
  string(SUBSTRING "${readme}" ${start} -1 rest)
  string(SUBSTRING "${rest}" 1 -1 rest)
  string(FIND "${rest}" "\n## " end)
  string(SUBSTRING "${rest}" 0 ${end} part)
  string(APPEND rules "\n${part}")
endforeach()
file(WRITE ${OUT}/threads-and-processes.md "${rules}")
