# An installed tree serves consumers: the C getting-started example, taken from its page, is
# built with find_package(Dorvane) and with pkg-config, and both run on the virtual pod.
#   cmake -DBUILD=<build dir> -DSOURCE=<source dir> -DWORK=<scratch> -DCC=<C compiler> -P install_test.cmake
file(REMOVE_RECURSE ${WORK})
set(prefix ${WORK}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix} RESULT_VARIABLE rc OUTPUT_QUIET
                ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${err}")
endif()

# The page's code blocks become the consumer project.
file(READ ${SOURCE}/docs/getting-started-c.md page)
foreach(lang c cmake)
  string(REGEX MATCH "```${lang}\n([^`]*)```" block "${page}")
  set(code_${lang} "${CMAKE_MATCH_1}")
endforeach()
file(WRITE ${WORK}/consumer/main.c "${code_c}")
file(WRITE ${WORK}/consumer/CMakeLists.txt "${code_cmake}")

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed:\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

run("configuring the CMake consumer" ${CMAKE_COMMAND} -S ${WORK}/consumer -B ${WORK}/consumer/build
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${CC})
run("building the CMake consumer" ${CMAKE_COMMAND} --build ${WORK}/consumer/build)

find_program(PKG_CONFIG pkg-config)
if(NOT PKG_CONFIG)
  message(FATAL_ERROR "pkg-config is not installed (Debian: pkgconf)")
endif()
file(GLOB pc_dirs ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
run("pkg-config" ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dirs} ${PKG_CONFIG} --cflags --libs dorvane)
separate_arguments(flags UNIX_COMMAND "${out}")
run("building with pkg-config" ${CC} ${WORK}/consumer/main.c -o ${WORK}/idcodes_pc ${flags})

file(GLOB lib_dirs ${prefix}/lib ${prefix}/lib/*-linux-gnu)
foreach(program ${WORK}/consumer/build/idcodes ${WORK}/idcodes_pc)
  run("running ${program}" ${CMAKE_COMMAND} -E env DORVANE_DRIVER=vpod LD_LIBRARY_PATH=${lib_dirs} ${program})
  if(NOT out MATCHES "IDCODEs: 0x4BA00477 0x06413041")
    message(FATAL_ERROR "${program} printed: ${out}")
  endif()
endforeach()

run("the installed tool" ${prefix}/bin/dorvane --vpod detect)
foreach(file include/dorvane/dorvane.h share/doc/dorvane/tool.md share/dorvane/python/pyproject.toml)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "${file} is not installed")
  endif()
endforeach()
