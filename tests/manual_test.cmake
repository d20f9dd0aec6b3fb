# cmake -DGROFF=... -DPAGE=... -P manual_test.cmake
# The page must format with every groff warning enabled and print none.
execute_process(COMMAND "${GROFF}" -man -ww -z "${PAGE}"
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 0 OR NOT out STREQUAL "" OR NOT err STREQUAL "")
  message(FATAL_ERROR "groff -man -ww -z ${PAGE}: status ${result}\n${out}${err}")
endif()
