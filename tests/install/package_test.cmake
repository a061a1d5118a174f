# CPack makes a Debian package holding the library, header, pkg-config file, CMake package and tool.
#   cmake -DBUILD=<build dir> -DWORK=<scratch> -P package_test.cmake
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND cpack -G DEB --config ${BUILD}/CPackConfig.cmake -B ${WORK}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(GLOB deb ${WORK}/dorvane_*.deb)
if(NOT rc EQUAL 0 OR NOT deb)
  message(FATAL_ERROR "cpack failed:\n${out}${err}")
endif()
execute_process(COMMAND dpkg-deb --contents ${deb} OUTPUT_VARIABLE contents)
foreach(file usr/include/dorvane/dorvane.h usr/lib/libdorvane.so.0 usr/lib/pkgconfig/dorvane.pc
             usr/lib/cmake/Dorvane/DorvaneConfig.cmake usr/bin/dorvane)
  if(NOT contents MATCHES "\\./${file}")
    message(FATAL_ERROR "${deb} has no ${file}:\n${contents}")
  endif()
endforeach()
