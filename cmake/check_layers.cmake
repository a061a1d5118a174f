# Fails when a file includes a layer above its own. Run as a test:
#   cmake -DROOT=<source dir> -P check_layers.cmake
#
# Layers of src/, bottom to top (a layer may include its own folder and any lower rank):
#   0 platform   OS calls
#   1 core       handle table and context, errors, process locks, controller information
#   2 config     controller addresses, KCF files, text scanners
#   3 transport  device, command queue, receive thread, results
#   4 swd        the SWD bridge, called by the JTAG IR/DR engine
#   4 persist    the suspend store's exports
#   5 jtag       TAP states, scans, waits
#   6 pod        pins, TRST, direct scans
#   7 api        the entry points
# Folders of equal rank do not include each other. tools/ includes only dorvane/ (the public
# headers), but for the driver seam in tools/cmd_list.cpp; vpod/ includes nothing of src/, and
# only the transport includes vpod/.
set(rank_platform 0)
set(rank_core 1)
set(rank_config 2)
set(rank_transport 3)
set(rank_swd 4)
set(rank_persist 4)
set(rank_jtag 5)
set(rank_pod 6)
set(rank_api 7)

set(failures "")
function(includes_of file out)
  file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]+\"")
  set(result "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([^\"]+)\".*" "\\1" inc "${line}")
    list(APPEND result "${inc}")
  endforeach()
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE sources RELATIVE ${ROOT} ${ROOT}/src/*.h ${ROOT}/src/*.cpp ${ROOT}/src/*.inc)
foreach(rel IN LISTS sources)
  string(REGEX REPLACE "^src/([^/]+)/.*" "\\1" layer "${rel}")
  if(NOT DEFINED rank_${layer})
    string(APPEND failures "${rel}: folder '${layer}' has no place in the layer order\n")
    continue()
  endif()
  includes_of(${ROOT}/${rel} incs)
  foreach(inc IN LISTS incs)
    string(REGEX REPLACE "^([^/]+)/.*" "\\1" target "${inc}")
    if(target STREQUAL inc OR target STREQUAL "dorvane")
      continue()   # same folder, the public headers
    endif()
    if(target STREQUAL "vpod")
      if(NOT layer STREQUAL "transport")
        string(APPEND failures "${rel} (${layer}): includes \"${inc}\"; the virtual pod is reached only behind the driver seam\n")
      endif()
      continue()
    endif()
    if(target STREQUAL layer)
      continue()
    endif()
    if(NOT DEFINED rank_${target})
      string(APPEND failures "${rel}: includes \"${inc}\" of no known layer\n")
    elseif(NOT rank_${target} LESS rank_${layer})
      string(APPEND failures "${rel} (${layer}): includes \"${inc}\" (${target}), which is not below it\n")
    endif()
  endforeach()
endforeach()

# OS calls live in the platform layer only: no other folder of src/ includes an OS header.
set(os_headers "^(windows|winsock2|ws2tcpip|mmsystem|unistd|pthread|dlfcn|fcntl|poll|signal|netdb|termios)\\.h$|^(sys|netinet|arpa)/")
foreach(rel IN LISTS sources)
  if(rel MATCHES "^src/platform/")
    continue()
  endif()
  file(STRINGS ${ROOT}/${rel} lines REGEX "^[ \t]*#[ \t]*include[ \t]*<")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*<([^>]+)>.*" "\\1" inc "${line}")
    if(inc MATCHES "${os_headers}")
      string(APPEND failures "${rel}: includes the OS header <${inc}>; OS calls belong in src/platform/\n")
    endif()
  endforeach()
endforeach()

file(GLOB_RECURSE tool_sources RELATIVE ${ROOT} ${ROOT}/tools/*.h ${ROOT}/tools/*.cpp)
foreach(rel IN LISTS tool_sources)
  includes_of(${ROOT}/${rel} incs)
  foreach(inc IN LISTS incs)
    # dorvane list asks the driver seam: the exports have no call that enumerates devices.
    if(rel STREQUAL "tools/cmd_list.cpp" AND inc STREQUAL "transport/driver_providers.h")
      continue()
    endif()
    if(inc MATCHES "/" AND NOT inc MATCHES "^dorvane/")
      string(APPEND failures "${rel}: a tool includes only dorvane/ and its own headers, not \"${inc}\"\n")
    endif()
  endforeach()
endforeach()

file(GLOB_RECURSE vpod_sources RELATIVE ${ROOT} ${ROOT}/vpod/*.h ${ROOT}/vpod/*.cpp)
foreach(rel IN LISTS vpod_sources)
  includes_of(${ROOT}/${rel} incs)
  foreach(inc IN LISTS incs)
    string(REGEX REPLACE "^([^/]+)/.*" "\\1" target "${inc}")
    if(DEFINED rank_${target} OR inc MATCHES "src/(platform|core|config|transport|swd|persist|jtag|pod|api)/")
      string(APPEND failures "${rel}: the virtual pod includes \"${inc}\" of the library\n")
    endif()
  endforeach()
endforeach()

if(failures)
  message(FATAL_ERROR "Includes that run upward:\n${failures}")
endif()
list(LENGTH sources n)
message(STATUS "layers: ${n} files of src/ include only downwards")
