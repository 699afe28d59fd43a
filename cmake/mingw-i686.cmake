# Cross build of the 32-bit Windows DLL with Debian's i686 mingw-w64.
set(SAT_MINGW i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
