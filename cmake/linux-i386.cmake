# Cross build of the Linux library for 32-bit PC (i386).
set(SAT_TRIPLA i686-linux-gnu)
set(SAT_MULTIARCH i386-linux-gnu)
set(SAT_PROCESSADOR i686)
set(SAT_QEMU qemu-i386)
set(SAT_ARQUITETURA_DEB i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux.cmake)
