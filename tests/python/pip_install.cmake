# pip installs the binding offline (no index, no build isolation) into a scratch directory, and
# the installed package finds the library through DORVANE_LIBRARY and reads the chain.
file(REMOVE_RECURSE ${WORK})
file(COPY ${SOURCE}/ DESTINATION ${WORK}/src)   # builds write beside the sources: keep them out of the tree
execute_process(COMMAND ${PYTHON} -m pip install --no-index --no-build-isolation --disable-pip-version-check
                        --target ${WORK}/site ${WORK}/src
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pip install failed:\n${out}${err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${WORK}/site DORVANE_LIBRARY=${LIBRARY} DORVANE_DRIVER=vpod
                        PYTHONDONTWRITEBYTECODE=1 ${PYTHON} -c
                        "import dorvane; c = dorvane.Controller(); print(dorvane.__file__, [hex(d.idcode) for d in c.detect()]); c.close()"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "site/dorvane/__init__.py.*0x4ba00477")
  message(FATAL_ERROR "the installed binding does not work:\n${out}${err}")
endif()
