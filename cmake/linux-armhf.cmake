# Cross build of the Linux library for 32-bit ARM with hardware floating point (armhf).
set(SAT_TRIPLA arm-linux-gnueabihf)
set(SAT_MULTIARCH arm-linux-gnueabihf)
set(SAT_PROCESSADOR armv7)
set(SAT_QEMU qemu-arm)
set(SAT_ARQUITETURA_DEB armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux.cmake)
