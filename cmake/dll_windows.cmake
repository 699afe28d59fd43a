# A Windows DLL as the project ships them (sat.dll, satextrato.dll): its plain name, undecorated
# exports (__stdcall on x86, __cdecl in the cdecl build), the C and C++ runtimes inside, and the
# exports written to <target>-exportado.def. On x86 __stdcall, the import library is made again
# so that the header's Name@N calls reach those exports (x64 and cdecl have no decoration: the
# linker's own import library serves); cmake/importacao.sh writes <target>-exportado-decorado.def.
function(sat_dll_windows alvo)
  set_target_properties(${alvo} PROPERTIES PREFIX "" OUTPUT_NAME ${alvo})
  target_link_options(${alvo} PRIVATE -static -Wl,--kill-at
    -Wl,--output-def,${CMAKE_BINARY_DIR}/${alvo}-exportado.def)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND NOT SAT_CDECL)
    add_custom_command(TARGET ${alvo} POST_BUILD
      COMMAND ${CMAKE_SOURCE_DIR}/cmake/importacao.sh ${CMAKE_BINARY_DIR}/${alvo}-exportado.def
              $<TARGET_LINKER_FILE:${alvo}> ${alvo}.dll)
  endif()
endfunction()
