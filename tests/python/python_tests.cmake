# The Python binding's tests (pytest, against the virtual pod inside the library just built) and
# its installation with pip, offline. Included from tests/CMakeLists.txt.
set(DORVANE_PYTHON "")
foreach(candidate /usr/bin/python3 python3)
  find_program(_python NAMES ${candidate} NO_CACHE)
  if(_python AND NOT DORVANE_PYTHON)
    execute_process(COMMAND ${_python} -c "import pytest" RESULT_VARIABLE _no_pytest OUTPUT_QUIET ERROR_QUIET)
    if(_no_pytest EQUAL 0)
      set(DORVANE_PYTHON ${_python})
    endif()
  endif()
  unset(_python)
endforeach()

set(_python_env DORVANE_DRIVER=vpod DORVANE_LIBRARY=$<TARGET_FILE:dorvane> DORVANE_SOURCE_DIR=${PROJECT_SOURCE_DIR}
    PYTHONPATH=${PROJECT_SOURCE_DIR}/bindings/python/src PYTHONDONTWRITEBYTECODE=1)
if(DORVANE_PYTHON)
  add_test(NAME python COMMAND ${DORVANE_PYTHON} -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_LIST_DIR})
  set_tests_properties(python PROPERTIES ENVIRONMENT "${_python_env}")
  execute_process(COMMAND ${DORVANE_PYTHON} -c
                  "import importlib.util as u; raise SystemExit(not (u.find_spec('pip') and u.find_spec('setuptools')))"
                  RESULT_VARIABLE _no_pip OUTPUT_QUIET ERROR_QUIET)
  if(_no_pip EQUAL 0)
    add_test(NAME python_install COMMAND ${CMAKE_COMMAND} -DPYTHON=${DORVANE_PYTHON}
             -DSOURCE=${PROJECT_SOURCE_DIR}/bindings/python -DWORK=${CMAKE_CURRENT_BINARY_DIR}/python_install
             -DLIBRARY=$<TARGET_FILE:dorvane> -P ${CMAKE_CURRENT_LIST_DIR}/pip_install.cmake)
  else()
    add_test(NAME python_install COMMAND ${DORVANE_PYTHON} -c
             "print('pip or setuptools is missing (Debian: python3-pip python3-setuptools): skipped'); raise SystemExit(77)")
    set_tests_properties(python_install PROPERTIES SKIP_RETURN_CODE 77)
  endif()
  add_test(NAME docs_python COMMAND ${CMAKE_COMMAND} -DPYTHON=${DORVANE_PYTHON} -DSOURCE=${PROJECT_SOURCE_DIR}
           -DWORK=${CMAKE_CURRENT_BINARY_DIR} -DLIBRARY=$<TARGET_FILE:dorvane> -P ${CMAKE_CURRENT_LIST_DIR}/../install/python_docs_test.cmake)
else()
  find_program(_any_python NAMES python3 NO_CACHE)
  if(_any_python)
    add_test(NAME python COMMAND ${_any_python} -c
             "print('pytest is not installed (Debian: python3-pytest): Python binding tests skipped'); raise SystemExit(77)")
    set_tests_properties(python PROPERTIES SKIP_RETURN_CODE 77)
  endif()
endif()
