# Makes the Windows bundle: a zip holding one folder, libsat-<version>-win32, with
#   README.txt            the README's Windows section: which DLL a POS program needs
#   satemu.txt            the emulator's manual: satemu runs on Linux, and a Windows build
#                         reaches it through wine or a serial link
# and a folder per DLL, x86 (__stdcall), x86-cdecl and x64, each with
#   sat.dll, zlib.dll     the library and the zlib it loads for sales, side by side
#   sat.h                 the header, declaring the convention of the DLL beside it
#   libsat.dll.a          the import library (mingw-w64); for x86, it maps the header's
#                         __stdcall names to sat.dll's undecorated exports
#   sat.def               the exports (with their __stdcall sizes for x86), for other toolchains
#   satextrato.dll, satextrato.h, libsatextrato.dll.a, satextrato.def
#                         the extrato's library (ESC/POS), as sat.dll is given
#   satcli.exe            the command-line front end (x86 and x64)
# usage: cmake -DPARTES="<each build's pacote-partes.cmake>" -DSAIDA=<folder>
#              -DCABECALHO=sat.h -DCABECALHO_EXTRATO=satextrato.h -DREADME=README.md
#              -DMANUAL=satemu.1 -P pacote-win32.cmake
foreach(parte PARTES SAIDA CABECALHO CABECALHO_EXTRATO README MANUAL)
  if("${${parte}}" STREQUAL "")
    message(FATAL_ERROR "pacote-win32.cmake: ${parte} not given")
  endif()
endforeach()

function(copia origem destino)
  if(NOT EXISTS "${origem}")
    message(FATAL_ERROR "pacote-win32.cmake: ${origem} not found (is its build done?)")
  endif()
  configure_file(${origem} ${destino} COPYONLY)
endfunction()

# A header as the folder's DLL was built: the cdecl folder's copy defines SAT_CDECL.
function(escreve_cabecalho origem guarda destino)
  file(READ ${origem} cabecalho)
  if(CDECL)
    string(REPLACE "#define ${guarda}\n" "#define ${guarda}\n\n/* This copy comes with the __cdecl DLL. */
#ifndef SAT_CDECL\n#define SAT_CDECL\n#endif\n" cabecalho "${cabecalho}")
    if(NOT cabecalho MATCHES "define SAT_CDECL")
      message(FATAL_ERROR "pacote-win32.cmake: ${origem} has no \"#define ${guarda}\" line")
    endif()
  endif()
  file(WRITE ${destino} "${cabecalho}")
endfunction()

# Texts with Windows' line ends.
function(escreve_texto arquivo texto)
  string(REPLACE "\r\n" "\n" texto "${texto}")
  string(REPLACE "\n" "\r\n" texto "${texto}")
  file(WRITE ${arquivo} "${texto}")
endfunction()

separate_arguments(PARTES UNIX_COMMAND "${PARTES}")
set(versao "")
set(trabalho ${SAIDA}/pacote-win32)
file(REMOVE_RECURSE ${trabalho})
foreach(partes IN LISTS PARTES)
  if(NOT EXISTS "${partes}")
    message(FATAL_ERROR "pacote-win32.cmake: ${partes} not found (is that build configured?)")
  endif()
  include(${partes})
  if(versao STREQUAL "")
    set(versao ${VERSAO})
  elseif(NOT versao STREQUAL VERSAO)
    message(FATAL_ERROR "pacote-win32.cmake: builds of versions ${versao} and ${VERSAO}")
  endif()
  set(pasta libsat-${versao}-win32)
  set(destino ${trabalho}/${pasta}/${VARIANTE})
  file(MAKE_DIRECTORY ${destino})
  if(NOT EXISTS "${ZLIB}")
    message(FATAL_ERROR
      "zlib1.dll of the ${VARIANTE} mingw-w64 zlib not found (Debian: libz-mingw-w64)")
  endif()
  set(binarios sat.dll)
  copia(${DLL} ${destino}/sat.dll)
  copia(${ZLIB} ${destino}/zlib.dll)
  copia(${IMPORTACAO} ${destino}/libsat.dll.a)
  copia(${DEF} ${destino}/sat.def)
  if(SATCLI)
    copia(${SATCLI} ${destino}/satcli.exe)
    list(APPEND binarios satcli.exe)
  endif()
  escreve_cabecalho(${CABECALHO} SAT_H ${destino}/sat.h)
  if(NOT EXTRATO)
    message(FATAL_ERROR "pacote-win32.cmake: the ${VARIANTE} build has no satextrato.dll")
  endif()
  copia(${EXTRATO} ${destino}/satextrato.dll)
  copia(${EXTRATO_IMPORTACAO} ${destino}/libsatextrato.dll.a)
  copia(${EXTRATO_DEF} ${destino}/satextrato.def)
  list(APPEND binarios satextrato.dll)
  escreve_cabecalho(${CABECALHO_EXTRATO} SATEXTRATO_H ${destino}/satextrato.h)
  # The builds keep debugging information; the bundle does not need it.
  foreach(binario IN LISTS binarios)
    execute_process(COMMAND ${STRIP} --strip-unneeded ${destino}/${binario}
      RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${STRIP} ${binario}: ${status}")
    endif()
  endforeach()
endforeach()

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
escreve_texto(${trabalho}/${pasta}/README.txt "libsat ${versao} para Windows\n\n${secao}")

# The page is UTF-8 (Portuguese), and so is the text made of it.
execute_process(COMMAND groff -k -man -Tutf8 -rHY=0 -P-c -P-b -P-o -P-u ${MANUAL}
  OUTPUT_VARIABLE manual RESULT_VARIABLE status ERROR_VARIABLE erro)
if(NOT status EQUAL 0 OR NOT erro STREQUAL "")
  message(FATAL_ERROR "groff ${MANUAL}: ${status} ${erro}")
endif()
escreve_texto(${trabalho}/${pasta}/satemu.txt "${manual}")

set(zip ${SAIDA}/${pasta}.zip)
file(REMOVE ${zip})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip ${pasta}
  WORKING_DIRECTORY ${trabalho} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "zip ${zip}: ${status}")
endif()
message(STATUS "${zip}")
