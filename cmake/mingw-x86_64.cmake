# Cross build of the 64-bit Windows DLL with Debian's x86_64 mingw-w64.
set(SAT_MINGW x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
