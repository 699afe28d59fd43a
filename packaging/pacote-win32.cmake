# Makes the Windows bundle, a zip holding one folder:
#   sat.dll, zlib.dll     the library and the zlib it loads for sales, side by side
#   satcli.exe            the command-line front end
#   sat.h, libsat.dll.a   the header and the import library (mingw-w64) that maps its
#                         __stdcall names to sat.dll's undecorated exports
#   sat.def               the exports with their __stdcall sizes, for other toolchains
#   README.txt            the README's Windows section
#   satemu.txt            the emulator's manual: satemu runs on Linux, and a Windows build
#                         reaches it through wine or a serial link
# Run by the build (packaging/win32.cmake), with each part's path given as -DNAME=path.
foreach(parte PASTA ZIP TRABALHO VERSAO DLL IMPORTACAO DEF SATCLI CABECALHO README MANUAL)
  if("${${parte}}" STREQUAL "")
    message(FATAL_ERROR "pacote-win32.cmake: ${parte} not given")
  endif()
endforeach()
if(NOT EXISTS "${ZLIB}")
  message(FATAL_ERROR "zlib1.dll of the i686 mingw-w64 zlib not found (Debian: libz-mingw-w64)")
endif()

file(REMOVE_RECURSE ${TRABALHO})
set(destino ${TRABALHO}/${PASTA})
file(MAKE_DIRECTORY ${destino})
foreach(par "${DLL}|sat.dll" "${ZLIB}|zlib.dll" "${SATCLI}|satcli.exe" "${CABECALHO}|sat.h"
            "${IMPORTACAO}|libsat.dll.a" "${DEF}|sat.def")
  string(REPLACE "|" ";" par "${par}")
  list(GET par 0 origem)
  list(GET par 1 nome)
  configure_file(${origem} ${destino}/${nome} COPYONLY)
endforeach()
# The build keeps debugging information; the bundle does not need it.
if(STRIP)
  foreach(binario sat.dll satcli.exe)
    execute_process(COMMAND ${STRIP} --strip-unneeded ${destino}/${binario}
      RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${STRIP} ${binario}: ${status}")
    endif()
  endforeach()
endif()

# Texts with Windows' line ends.
function(escreve_texto arquivo texto)
  string(REPLACE "\r\n" "\n" texto "${texto}")
  string(REPLACE "\n" "\r\n" texto "${texto}")
  file(WRITE ${arquivo} "${texto}")
endfunction()

# From its "### Windows" heading to the next heading of level 2 or 3.
file(READ ${README} leiame)
string(FIND "${leiame}" "\n### Windows" inicio)
if(inicio EQUAL -1)
  message(FATAL_ERROR "${README} has no \"### Windows\" section")
endif()
math(EXPR inicio "${inicio} + 1")
string(SUBSTRING "${leiame}" ${inicio} -1 secao)
string(REGEX MATCH "^[^\n]*\n" titulo "${secao}")
string(LENGTH "${titulo}" tamanho)
string(SUBSTRING "${secao}" ${tamanho} -1 resto)
string(REGEX REPLACE "\n##+ .*" "\n" resto "${resto}")
set(secao "${titulo}${resto}")
escreve_texto(${destino}/README.txt "libsat ${VERSAO} for Windows\n\n${secao}")

execute_process(COMMAND groff -man -Tascii -rHY=0 -P-c -P-b -P-o -P-u ${MANUAL}
  OUTPUT_VARIABLE manual RESULT_VARIABLE status ERROR_VARIABLE erro)
if(NOT status EQUAL 0 OR NOT erro STREQUAL "")
  message(FATAL_ERROR "groff ${MANUAL}: ${status} ${erro}")
endif()
escreve_texto(${destino}/satemu.txt "${manual}")

file(REMOVE ${ZIP})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip ${PASTA}
  WORKING_DIRECTORY ${TRABALHO} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "zip ${ZIP}: ${status}")
endif()
