# The Python getting-started script, taken from its page, runs on the virtual pod.
#   cmake -DPYTHON=<python3> -DSOURCE=<source dir> -DWORK=<scratch> -DLIBRARY=<libdorvane> -P python_docs_test.cmake
file(READ ${SOURCE}/docs/getting-started-python.md page)
string(REGEX MATCH "```python\n([^`]*)```" block "${page}")
file(WRITE ${WORK}/first.py "${CMAKE_MATCH_1}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env DORVANE_DRIVER=vpod DORVANE_LIBRARY=${LIBRARY} PYTHONDONTWRITEBYTECODE=1
                        PYTHONPATH=${SOURCE}/bindings/python/src ${PYTHON} ${WORK}/first.py
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REGEX MATCH "\\$ DORVANE_DRIVER=vpod python3 first.py\n([^`]*)```" shown "${page}")
if(NOT rc EQUAL 0 OR NOT out STREQUAL CMAKE_MATCH_1)
  message(FATAL_ERROR "the page's script printed:\n${out}${err}\nthe page shows:\n${CMAKE_MATCH_1}")
endif()
