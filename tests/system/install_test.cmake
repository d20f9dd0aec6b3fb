# cmake -DBUILD_DIR=... -DPREFIX=... -P install_test.cmake
include(GNUInstallDirs)
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(installed ${CMAKE_INSTALL_BINDIR}/blankimg ${CMAKE_INSTALL_MANDIR}/man1/blankimg.1.gz
                  ${CMAKE_INSTALL_DATADIR}/bash-completion/completions/blankimg)
  if(NOT EXISTS "${PREFIX}/${installed}")
    message(FATAL_ERROR "not installed: ${PREFIX}/${installed}")
  endif()
endforeach()
execute_process(COMMAND "${PREFIX}/bin/blankimg" RESULT_VARIABLE status ERROR_VARIABLE usage)
if(NOT status EQUAL 1 OR NOT usage MATCHES "dest blocksize cylinders heads sectors/tracks bytes/sector\n$")
  message(FATAL_ERROR "installed tool does not answer with its usage line: ${status} ${usage}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
