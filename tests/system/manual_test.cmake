# cmake -DGROFF=... -DPAGE=... -DVERSION=... -P manual_test.cmake
# The page must format with every groff warning enabled and print none, and
# name the version that --version prints.
file(STRINGS "${PAGE}" title REGEX "^\\.TH ")
if(NOT title MATCHES "\"blankimg ${VERSION}\"")
  message(FATAL_ERROR "${PAGE} does not name version ${VERSION}: ${title}")
endif()
execute_process(COMMAND "${GROFF}" -t -man -ww -z "${PAGE}"
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 0 OR NOT out STREQUAL "" OR NOT err STREQUAL "")
  message(FATAL_ERROR "groff -t -man -ww -z ${PAGE}: status ${result}\n${out}${err}")
endif()
