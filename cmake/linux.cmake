# What the Linux cross toolchain files share; each sets SAT_TRIPLA (the toolchain's triplet),
# SAT_MULTIARCH (Debian's folder for the architecture's libraries), SAT_PROCESSADOR, SAT_QEMU and
# SAT_ARQUITETURA_DEB (Debian's name of the architecture) first. Debian's cross compilers
# (crossbuild-essential-*) build the library; its tests run under qemu-user with the toolchain's
# C library, and zlib is the architecture's own runtime
# (zlib1g:<arch>), found through its multiarch folder, as the library itself finds it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${SAT_PROCESSADOR})
set(CMAKE_C_COMPILER ${SAT_TRIPLA}-gcc)
set(CMAKE_CXX_COMPILER ${SAT_TRIPLA}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${SAT_MULTIARCH})
set(CMAKE_FIND_ROOT_PATH /usr/${SAT_TRIPLA})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The toolchain's own C library first: zlib1g:<arch> brings the archive's libc6:<arch>, of another
# version than the toolchain's, and a loader of one with the C library of the other hangs in
# pthread_create.
set(CMAKE_CROSSCOMPILING_EMULATOR ${SAT_QEMU} -L /usr/${SAT_TRIPLA} -E
  LD_LIBRARY_PATH=/usr/${SAT_TRIPLA}/lib)
# The headers are the same for every architecture; the runtime is the architecture's.
set(ZLIB_INCLUDE_DIR /usr/include CACHE PATH "zlib's headers")
set(ZLIB_LIBRARY /usr/lib/${SAT_MULTIARCH}/libz.so.1 CACHE FILEPATH "the architecture's zlib")
# Only the library and its tests: the tools run natively beside them.
set(SAT_TOOLS OFF CACHE BOOL "Build satemu, satcli and satd" FORCE)
