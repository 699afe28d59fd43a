# Cross build of the Linux library for 64-bit ARM (arm64).
set(SAT_TRIPLA aarch64-linux-gnu)
set(SAT_MULTIARCH aarch64-linux-gnu)
set(SAT_PROCESSADOR aarch64)
set(SAT_QEMU qemu-aarch64)
set(SAT_ARQUITETURA_DEB arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux.cmake)
