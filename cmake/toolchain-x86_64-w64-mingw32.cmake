# Cross build for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64). Tests run
# under wine64 (Debian: wine64): ctest starts every test program through the emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(DORVANE_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

find_program(DORVANE_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_CMAKE_FIND_ROOT_PATH)
if(DORVANE_WINE64)
  # Quiet wine, and keep it from offering to install Mono and Gecko into a fresh prefix.
  # wine-run.sh retries a program once when wine dies before the program prints anything.
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= DORVANE_WINE64=${DORVANE_WINE64}
      ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
endif()
