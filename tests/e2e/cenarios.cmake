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
# The query commands of the shipped binary (tests/carga/consultas_e2e_test.cpp).
set(SAT_E2E_CONSULTAS_CENARIOS
  "Dispositivo|--pronto"
  "Mudo|--pronto --mudo"
  "SemDispositivo|-")

# A SAT's life and its sales through every command (tests/carga/vida_e2e_test.cpp).
set(SAT_E2E_VIDA_CENARIOS
  "Vida|--verboso"
  "Venda|--pronto"
  "Atrasada|--pronto --atraso 7000 --so-para ConsultarSAT --surdo-ao-fechar")

# Registers one ctest test per scenario: PREFIXO_Suite runs PROGRAMA's suite through
# tests/com_satemu.sh with the emulator EMULADOR in mode nativo or wine.
function(sat_cenarios_e2e prefixo programa modo emulador)
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
      COMMAND ${CMAKE_SOURCE_DIR}/tests/com_satemu.sh ${este_emulador} "${opcoes}" ${modo}
              ${programa} --gtest_filter=${suite}.*)
  endforeach()
endfunction()

# The same scenarios once more as the unprivileged user nobody, natively, when the tests run as
# root (tests/sem_privilegios.sh; skipped otherwise): PREFIXO_nobody_Suite.
function(sat_cenarios_e2e_sem_privilegios prefixo programa emulador)
  foreach(cenario ${ARGN})
    string(REPLACE "|" ";" partes "${cenario}")
    list(GET partes 0 suite)
    list(GET partes 1 opcoes)
    set(este_emulador ${emulador})
    if(opcoes STREQUAL "-")
      set(este_emulador "-")
      set(opcoes "")
    endif()
    add_test(NAME ${prefixo}_nobody_${suite}
      COMMAND ${CMAKE_SOURCE_DIR}/tests/sem_privilegios.sh ${CMAKE_SOURCE_DIR}/tests/com_satemu.sh
              ${este_emulador} "${opcoes}" nativo ${programa} --gtest_filter=${suite}.*)
    set_tests_properties(${prefixo}_nobody_${suite} PROPERTIES SKIP_RETURN_CODE 77)
  endforeach()
endfunction()
