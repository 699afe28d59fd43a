# What this Windows build gives the bundle (make package-win32): each build (x86, x86-cdecl, x64)
# writes down its parts, and packaging/pacote-win32.cmake gathers the three into one zip.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(sat_variante x64)
elseif(SAT_CDECL)
  set(sat_variante x86-cdecl)
else()
  set(sat_variante x86)
endif()
# The .def other toolchains read: with the __stdcall sizes for the x86 __stdcall DLL, the plain
# names elsewhere.
if(sat_variante STREQUAL x86)
  set(sat_def ${CMAKE_BINARY_DIR}/sat-exportado-decorado.def)
else()
  set(sat_def ${CMAKE_BINARY_DIR}/sat-exportado.def)
endif()
# satcli.exe for x86 and x64: the cdecl DLL is for POS programs, and the technician's satcli is
# the x86 one.
set(sat_satcli "")
if(TARGET satcli AND NOT SAT_CDECL)
  set(sat_satcli $<TARGET_FILE:satcli>)
endif()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/pacote-partes.cmake CONTENT
"set(VARIANTE ${sat_variante})
set(VERSAO ${PROJECT_VERSION})
set(CDECL ${SAT_CDECL})
set(DLL $<TARGET_FILE:sat>)
set(IMPORTACAO $<TARGET_LINKER_FILE:sat>)
set(DEF ${sat_def})
set(ZLIB \"${SAT_ZLIB_DLL}\")
set(SATCLI \"${sat_satcli}\")
set(STRIP \"${CMAKE_STRIP}\")
")
