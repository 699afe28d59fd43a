# Read by CPack for a cross build: the library's package depends on what its symbol versions
# ask for (packaging/dependencias-deb.sh), then on zlib, which it loads at run time.
if(CPACK_GENERATOR STREQUAL DEB)
  execute_process(COMMAND ${CPACK_SAT_DEPENDENCIAS} ${CPACK_SAT_BIBLIOTECA}
    OUTPUT_VARIABLE sat_dependencias OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR sat_dependencias STREQUAL "")
    message(FATAL_ERROR "dependencias-deb.sh ${CPACK_SAT_BIBLIOTECA}: ${status}")
  endif()
  set(CPACK_DEBIAN_BIBLIOTECA_PACKAGE_DEPENDS
    "${sat_dependencias}, ${CPACK_DEBIAN_BIBLIOTECA_PACKAGE_DEPENDS}")
endif()
