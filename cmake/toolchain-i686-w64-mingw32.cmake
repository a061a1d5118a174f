# Cross build of the 32-bit Dorvane.dll with mingw-w64 (Debian: g++-mingw-w64-i686).
# The posix thread model gives std::thread and std::mutex; winpthread is linked statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(DORVANE_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
