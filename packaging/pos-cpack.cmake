# Run by CPack once the packages are made, on the library's packages, for what CPack cannot say:
# - "Multi-Arch: same", which lets dpkg install those of several architectures side by side
#   (their shared files, the header and the documents, are the same bytes in each);
# - no ldconfig in postinst and postrm, which CPack writes for every library in /usr/lib: the
#   package's ldconfig trigger does it, once for all the packages of an installation.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(nome ${deb} NAME)
  if(NOT nome MATCHES "^libsat(2|-dev|extrato[0-9]+|extrato-dev)_")
    continue()
  endif()
  set(dir ${deb}.multiarch)
  file(REMOVE_RECURSE ${dir})
  execute_process(COMMAND dpkg-deb -R ${deb} ${dir} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${deb}: ${status}")
  endif()
  file(READ ${dir}/DEBIAN/control controle)
  string(REGEX REPLACE "(Architecture: [^\n]*\n)" "\\1Multi-Arch: same\n" controle "${controle}")
  if(NOT controle MATCHES "\nMulti-Arch: same\n")
    message(FATAL_ERROR "${deb}: its control file has no Architecture line")
  endif()
  file(WRITE ${dir}/DEBIAN/control "${controle}")
  foreach(script postinst postrm)
    if(EXISTS ${dir}/DEBIAN/${script})
      file(READ ${dir}/DEBIAN/${script} texto)
      # What CPack writes: comments, set -e, and ldconfig under one if.
      string(CONCAT padrao "#[^\n]*\n|set -e\n|"
        "if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then\n|[ \t]*ldconfig\n|fi\n|\n")
      string(REGEX REPLACE "${padrao}" "" resto "${texto}")
      if(NOT resto STREQUAL "")
        message(FATAL_ERROR "${deb}: ${script} does more than call ldconfig: ${texto}")
      endif()
      file(REMOVE ${dir}/DEBIAN/${script})
    endif()
  endforeach()
  execute_process(COMMAND dpkg-deb --root-owner-group -b ${dir} ${deb}
    RESULT_VARIABLE status OUTPUT_QUIET)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -b ${dir}: ${status}")
  endif()
  file(REMOVE_RECURSE ${dir})
endforeach()
