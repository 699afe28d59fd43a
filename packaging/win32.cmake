# The Windows bundle (make package-win32): one zip with what a POS developer on Windows needs,
# made by packaging/pacote-win32.cmake whenever one of its parts changes.
set(SAT_PACOTE_WIN32 ${CMAKE_BINARY_DIR}/libsat-${PROJECT_VERSION}-win32.zip)
add_custom_command(OUTPUT ${SAT_PACOTE_WIN32}
  COMMAND ${CMAKE_COMMAND} -DPASTA=libsat-${PROJECT_VERSION}-win32 -DZIP=${SAT_PACOTE_WIN32}
          -DTRABALHO=${CMAKE_CURRENT_BINARY_DIR}/pacote -DVERSAO=${PROJECT_VERSION}
          -DDLL=$<TARGET_FILE:sat> -DIMPORTACAO=$<TARGET_LINKER_FILE:sat>
          -DDEF=${CMAKE_BINARY_DIR}/sat-exportado-decorado.def "-DZLIB=${SAT_ZLIB_DLL}"
          -DSATCLI=$<TARGET_FILE:satcli> -DCABECALHO=${CMAKE_SOURCE_DIR}/include/sat.h
          -DREADME=${CMAKE_SOURCE_DIR}/README.md -DMANUAL=${CMAKE_CURRENT_SOURCE_DIR}/man/satemu.1
          -DSTRIP=${CMAKE_STRIP} -P ${CMAKE_CURRENT_SOURCE_DIR}/pacote-win32.cmake
  DEPENDS sat satcli ${CMAKE_CURRENT_SOURCE_DIR}/pacote-win32.cmake ${CMAKE_SOURCE_DIR}/include/sat.h
          ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_CURRENT_SOURCE_DIR}/man/satemu.1
  VERBATIM)
add_custom_target(pacote_win32 ALL DEPENDS ${SAT_PACOTE_WIN32})
