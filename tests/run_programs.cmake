# Runs every program in PROGRAMS (one ctest for a suite spread over several programs);
# fails when any of them fails.
foreach(program IN LISTS PROGRAMS)
  execute_process(COMMAND ${program} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    list(APPEND failed ${program})
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "failed: ${failed}")
endif()
