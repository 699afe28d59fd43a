# What both mingw-w64 toolchain files share; each sets SAT_MINGW (i686 or x86_64) first. Debian's
# posix threads model (GoogleTest needs std::mutex; winpthread is linked in statically, so the
# DLL needs nothing beyond the system DLLs).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${SAT_MINGW})
set(CMAKE_C_COMPILER ${SAT_MINGW}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${SAT_MINGW}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${SAT_MINGW}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${SAT_MINGW}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
