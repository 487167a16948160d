# The API reference of the public headers, built as ./dev docs builds it but
# into OUT, must come out without a single warning; then every function,
# callback type and enum value must be fully documented (check_api_complete.py,
# over doxygen's XML).
# Usage: cmake -DDOXYGEN=<exe> -DPYTHON=<exe> -DSRC=<source root> -DOUT=<dir> -DVERSION=<v> -P <this>
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT}/html-run ${OUT}/xml-run)
file(READ ${SRC}/docs/Doxyfile config)
file(WRITE ${OUT}/html-run/Doxyfile "${config}\nOUTPUT_DIRECTORY = ${OUT}/html-run\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E env KYR_VERSION=${VERSION} ${DOXYGEN} ${OUT}/html-run/Doxyfile
  WORKING_DIRECTORY ${SRC} RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
  message(FATAL_ERROR "doxygen (exit ${rc}):\n${err}")
endif()
foreach(page index.html KyrHIDLib_8h.html KyrDeviceIds_8h.html)
  if(NOT EXISTS ${OUT}/html-run/html/${page})
    message(FATAL_ERROR "doxygen wrote no ${page}")
  endif()
endforeach()

# doxygen 1.9's XML writer reports parameters as undocumented whatever the
# comment says, so this pass keeps quiet and the script judges the XML.
file(WRITE ${OUT}/xml-run/Doxyfile "${config}\nOUTPUT_DIRECTORY = ${OUT}/xml-run\nGENERATE_HTML = NO\n"
  "GENERATE_XML = YES\nWARNINGS = NO\nWARN_AS_ERROR = NO\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E env KYR_VERSION=${VERSION} ${DOXYGEN} ${OUT}/xml-run/Doxyfile
  WORKING_DIRECTORY ${SRC} RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "doxygen XML run failed (exit ${rc})")
endif()
execute_process(COMMAND ${PYTHON} ${SRC}/tests/docs/check_api_complete.py ${OUT}/xml-run/xml
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "incomplete API documentation (above)")
endif()
