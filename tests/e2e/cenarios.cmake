# Device-link scenarios of sat_e2e_enlace: one gtest suite each, "Suite|satemu options"
# ("-": no device at all). Run each through tests/com_satemu.sh, natively or under wine:
#   com_satemu.sh SATEMU "OPTIONS" nativo|wine sat_e2e_enlace --gtest_filter=Suite.*
# The first list runs on every platform; the second needs sysfs (Linux discovery).
set(SAT_E2E_ENLACE_CENARIOS
  "SomaErrada|--pronto --soma-errada"
  "EmPartes|--pronto --em-partes 9 --pausa 40"
  "SoControle|--pronto --controle ack"
  "AnunciaMais|--pronto --anuncia-mais 5"
  "Rajada|--pronto --rajada 1500"
  "Recusas|--pronto"
  "SemPortaEscolhida|-"
  "LogDoIni|--pronto"
  "Selecao|--pronto")
set(SAT_E2E_ENLACE_CENARIOS_LINUX
  "Descoberta|--pronto"
  "DescobertaSemSat|-")
# The query commands of the shipped binary (tests/e2e/consultas_e2e_test.cpp).
set(SAT_E2E_CONSULTAS_CENARIOS
  "Dispositivo|--pronto"
  "Mudo|--pronto --mudo"
  "SemDispositivo|-")

# A SAT's life and its sales through every command (tests/e2e/vida_e2e_test.cpp).
set(SAT_E2E_VIDA_CENARIOS
  "Vida|--verboso"
  "Venda|--pronto"
  "Atrasada|--pronto --atraso 7000 --so-para ConsultarSAT --surdo-ao-fechar")

# The fault matrix's cells: the lines of tests/e2e/matriz.txt.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/matriz.txt SAT_E2E_MATRIZ REGEX "^[^#]")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/matriz.txt)

# Bad calls at the exports and a device that goes away (tests/e2e/chamadas_e2e_test.cpp).
set(SAT_E2E_CHAMADAS_CENARIOS
  "ChamadasRuins|--pronto"
  "Desconexao|--pronto --mudo --so-para ConsultarSAT")

# Registers one ctest test per scenario "Suite|satemu options" ("-" for no satemu):
# PREFIXO_Suite runs PROGRAMA's suite (a list: a program and its runner) through
# tests/com_satemu.sh in mode MODO, behind the command ANTES (a list, may be empty), with the
# test properties PROPRIEDADES (a list of names and values, may be empty).
function(sat_cenarios_com prefixo antes modo programa emulador propriedades)
  foreach(cenario ${ARGN})
    string(REPLACE "|" ";" partes "${cenario}")
    list(GET partes 0 suite)
    list(GET partes 1 opcoes)
    set(este_emulador ${emulador})
    if(opcoes STREQUAL "-")
      set(este_emulador "-")
      set(opcoes "")
    endif()
    add_test(NAME ${prefixo}_${suite}
      COMMAND ${antes} ${CMAKE_SOURCE_DIR}/tests/com_satemu.sh ${este_emulador} "${opcoes}"
              ${modo} ${programa} --gtest_filter=${suite}.*)
    if(propriedades)
      set_tests_properties(${prefixo}_${suite} PROPERTIES ${propriedades})
    endif()
  endforeach()
endfunction()

# PREFIXO_Suite for each scenario, natively or under wine (where they all use the prefix's com7,
# one at a time).
function(sat_cenarios_e2e prefixo programa modo emulador)
  set(propriedades "")
  if(modo STREQUAL "wine")
    set(propriedades RESOURCE_LOCK wine_com7)
  endif()
  sat_cenarios_com(${prefixo} "" ${modo} "${programa}" ${emulador} "${propriedades}" ${ARGN})
endfunction()

# Registers scenarios that may run side by side, even under wine: each gets a port of its own,
# COM<n> from PRIMEIRA_PORTA on (SAT_E2E_PORTA). FILTRO is the gtest filter with @ standing for
# the scenario's name. Every entry carries the labels ROTULOS.
function(sat_cenarios_e2e_portas prefixo programa modo emulador primeira_porta filtro rotulos)
  set(porta ${primeira_porta})
  foreach(cenario ${ARGN})
    string(REPLACE "|" ";" partes "${cenario}")
    list(GET partes 0 nome)
    list(GET partes 1 opcoes)
    string(REPLACE "@" "${nome}" este_filtro "${filtro}")
    add_test(NAME ${prefixo}_${nome}
      COMMAND ${CMAKE_SOURCE_DIR}/tests/com_satemu.sh ${emulador} "${opcoes}" ${modo}
              ${programa} --gtest_filter=${este_filtro})
    set_tests_properties(${prefixo}_${nome} PROPERTIES ENVIRONMENT SAT_E2E_PORTA=${porta}
                         LABELS "${rotulos}")
    math(EXPR porta "${porta} + 1")
  endforeach()
endfunction()

# The fault matrix, one entry per cell of matriz.txt (PREFIXO_matriz_Cell, label matriz), which
# gets its line in SAT_E2E_CELULA. Under valgrind (label valgrind) the time-outs are left out but
# for the query's late reply: they wait, and their code is the query's. Ports from 20 up: cells
# may run side by side, even under wine.
function(sat_matriz_e2e prefixo programa modo emulador rotulos)
  set(porta 20)
  foreach(linha ${SAT_E2E_MATRIZ})
    string(REPLACE "|" ";" campos "${linha}")
    list(GET campos 0 nome)
    list(GET campos 1 falha)
    list(GET campos 2 comando)
    list(GET campos 3 desfecho)
    math(EXPR porta "${porta} + 1")
    if("${rotulos}" MATCHES "valgrind" AND desfecho MATCHES "^timeout" AND
       NOT (comando STREQUAL "ConsultarSAT" AND desfecho STREQUAL "timeout+atrasada"))
      continue()
    endif()
    set(rotulos_celula matriz ${rotulos})
    add_test(NAME ${prefixo}_matriz_${nome}
      COMMAND ${CMAKE_SOURCE_DIR}/tests/com_satemu.sh ${emulador}
              "--pronto ${falha} --so-para ${comando}" ${modo} ${programa}
              --gtest_filter=Matriz.Celula)
    set_tests_properties(${prefixo}_matriz_${nome} PROPERTIES
      ENVIRONMENT "SAT_E2E_PORTA=${porta};SAT_E2E_CELULA=${linha}" LABELS "${rotulos_celula}")
  endforeach()
endfunction()

# The robustness program's scenarios: the fault matrix and the bad-call table (ports 70 and
# up). Any further argument is one more label for every entry.
function(sat_robustez_e2e prefixo programa modo emulador)
  sat_matriz_e2e(${prefixo} "${programa}" ${modo} ${emulador} "${ARGN}")
  sat_cenarios_e2e_portas(${prefixo} "${programa}" ${modo} ${emulador} 70 "@.*"
    "robustez;${ARGN}" ${SAT_E2E_CHAMADAS_CENARIOS})
endfunction()

# valgrind's memcheck, to run a native e2e program under it (PROGRAMA becomes
# "${SAT_VALGRIND};program"): any error, or memory the program still holds at exit that is
# lost or only possibly reachable, fails the run. No suppression is needed.
find_program(SAT_VALGRIND_PROGRAMA valgrind)
set(SAT_VALGRIND ${SAT_VALGRIND_PROGRAMA} -q --tool=memcheck --leak-check=full
  --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99)
# Native builds without the sanitizers (valgrind cannot run them) and with valgrind at hand.
if(SAT_VALGRIND_PROGRAMA AND NOT SAT_SANITIZE AND NOT WIN32)
  set(SAT_COM_VALGRIND ON)
else()
  set(SAT_COM_VALGRIND OFF)
endif()

# Like sat_cenarios_e2e in mode nativo, the program under valgrind: PREFIXO_Suite, label valgrind.
function(sat_cenarios_valgrind prefixo programa emulador)
  if(SAT_COM_VALGRIND)
    sat_cenarios_com(${prefixo} "" nativo "${SAT_VALGRIND};${programa}" ${emulador}
      "LABELS;valgrind" ${ARGN})
  endif()
endfunction()

# The same scenarios once more as the unprivileged user nobody, natively, when the tests run as
# root (tests/sem_privilegios.sh; skipped otherwise): PREFIXO_nobody_Suite.
function(sat_cenarios_e2e_sem_privilegios prefixo programa emulador)
  sat_cenarios_com(${prefixo}_nobody ${CMAKE_SOURCE_DIR}/tests/sem_privilegios.sh nativo
    "${programa}" ${emulador} "SKIP_RETURN_CODE;77" ${ARGN})
endfunction()
