# cmake -DTOOL=... [-DEMULATOR=...] -DPAGE=... -DCOMPLETION=... -P docs_agree_test.cmake
# --help, the manual page's items and the bash completion name the same
# options: an option added to one and not the others fails here.
function(option_names text out)
  string(REGEX MATCHALL "--[a-z][a-z-]*" names "${text}")
  list(REMOVE_DUPLICATES names)
  list(SORT names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

# A cross-built tool runs under its emulator, as Wine runs the Windows one.
execute_process(COMMAND ${EMULATOR} "${TOOL}" --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "--help failed: ${status}")
endif()
option_names("${help}" from_help)

# The page's items: the line after each .TP that names an option.
file(STRINGS "${PAGE}" lines)
set(items "")
set(after_tp FALSE)
foreach(line IN LISTS lines)
  if(after_tp AND line MATCHES "^\\.B[IR]? ")
    string(REPLACE "\\-" "-" line "${line}")
    string(APPEND items "${line}\n")
  endif()
  set(after_tp FALSE)
  if(line STREQUAL ".TP")
    set(after_tp TRUE)
  endif()
endforeach()
option_names("${items}" from_page)

file(READ "${COMPLETION}" completion)
option_names("${completion}" from_completion)

if(NOT from_help STREQUAL from_page OR NOT from_help STREQUAL from_completion)
  message(FATAL_ERROR "the options differ:\n--help:     ${from_help}\n"
                      "manual:     ${from_page}\ncompletion: ${from_completion}")
endif()
list(LENGTH from_help count)
if(count LESS 10)
  message(FATAL_ERROR "too few options read from --help: ${from_help}")
endif()
