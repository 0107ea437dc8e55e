# cmake -DHELP2MAN= -DGZIP= -DPROGRAM= -DNAME= -DVERSION= -DSOURCE_DIR= -DOUTPUT= -P manual_page.cmake
# A manual page from the program's --help (help2man), compressed the way
# Debian wants it (gzip -9n: no name, no time stamp).
get_filename_component(_dir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${_dir})
string(REGEX REPLACE "\\.gz$" "" _page ${OUTPUT})
execute_process(COMMAND ${HELP2MAN} --no-info --no-discard-stderr --version-string=${VERSION}
                        --include=${SOURCE_DIR}/deploy/debian/${NAME}.h2m --output=${_page} ${PROGRAM}
                RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "help2man ${NAME}: exit ${_result}")
endif()
file(REMOVE ${OUTPUT})
execute_process(COMMAND ${GZIP} -9n ${_page} RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "gzip ${_page}: exit ${_result}")
endif()
