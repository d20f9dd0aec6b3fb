# cmake -DNM=... -DTOOL=... -P no_heap_test.cmake
# The tool, or the library, allocates nothing on the heap and brings no C++ runtime: its
# dynamic symbols name no allocator (mmap alone, for the one sort --info may
# need, is allowed) and no symbol of the C++ library.
execute_process(COMMAND "${NM}" -D --undefined-only "${TOOL}"
                RESULT_VARIABLE status OUTPUT_VARIABLE symbols ERROR_VARIABLE error)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed: ${error}")
endif()
string(REGEX MATCHALL "[ \n](malloc|calloc|realloc|free|aligned_alloc|posix_memalign|_Zn[wa][a-zA-Z0-9_]*|_Zd[la][a-zA-Z0-9_]*|__cxa_[a-z_]*throw[a-z_]*|_ZSt[a-zA-Z0-9_]*)[@\n]"
       found "${symbols}")
if(found)
  message(FATAL_ERROR "the tool reaches for the heap or the C++ library: ${found}")
endif()
if(NOT symbols MATCHES "[ \n](pwrite64|pwrite)[@\n]")
  message(FATAL_ERROR "no dynamic symbols read, or no pwrite among them:\n${symbols}")
endif()
