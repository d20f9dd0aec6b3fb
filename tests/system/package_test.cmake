# cmake -DBUILD_DIR=... -DWORK=... -DVERSION=... [-DSANITIZED=ON] -P package_test.cmake
# Makes the .deb with cpack, takes it apart, and runs the tool inside it.
file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND "${CMAKE_CPACK_COMMAND}" -G DEB -B "${WORK}" --config "${BUILD_DIR}/CPackConfig.cmake"
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
file(GLOB deb "${WORK}/blankimg_*.deb")
file(GLOB library "${WORK}/libblankimg1_*.deb")
file(GLOB development "${WORK}/libblankimg-dev_*.deb")
if(NOT result EQUAL 0 OR NOT deb OR NOT library OR NOT development)
  message(FATAL_ERROR "cpack -G DEB failed: ${result}\n${out}")
endif()

function(expect what actual pattern)
  if(NOT actual MATCHES "${pattern}")
    message(FATAL_ERROR "${what}: '${actual}' does not match '${pattern}'")
  endif()
endfunction()

# The tool needs nothing but the C library, unless the sanitizers are in.
set(depends "^libc6[^,]*\n$")
if(SANITIZED)
  set(depends "libc6")
endif()
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE architecture
                OUTPUT_STRIP_TRAILING_WHITESPACE)
foreach(field_and_pattern "Package;^blankimg\n$" "Version;^${VERSION}-1\n$"
                          "Architecture;^${architecture}\n$"
                          "Section;^utils\n$" "Depends;${depends}" "Description;disk image")
  list(GET field_and_pattern 0 field)
  list(GET field_and_pattern 1 pattern)
  execute_process(COMMAND dpkg-deb --field "${deb}" ${field} OUTPUT_VARIABLE value)
  expect("${field}" "${value}" "${pattern}")
endforeach()

execute_process(COMMAND dpkg-deb --contents "${deb}" OUTPUT_VARIABLE contents)
foreach(installed ./usr/bin/blankimg ./usr/share/man/man1/blankimg.1.gz
                  ./usr/share/bash-completion/completions/blankimg
                  ./usr/share/doc/blankimg/copyright ./usr/share/doc/blankimg/changelog.Debian.gz)
  expect("contents" "${contents}" " ${installed}\n")
endforeach()

# The library where programs load it, and what they are built with beside
# the header.
execute_process(COMMAND dpkg-deb --contents "${library}" OUTPUT_VARIABLE contents)
expect("library" "${contents}" " ./usr/lib/libblankimg.so.1.[0-9.]+\n")
execute_process(COMMAND dpkg-deb --ctrl-tarfile "${library}" COMMAND tar -xO ./shlibs ./triggers
                OUTPUT_VARIABLE control)
expect("library's shlibs and triggers" "${control}" "^libblankimg 1 libblankimg1 [^\n]*\nactivate-noawait ldconfig\n$")
execute_process(COMMAND dpkg-deb --contents "${development}" OUTPUT_VARIABLE contents)
foreach(installed ./usr/include/blankimg/blankimg.h ./usr/lib/libblankimg.so ./usr/lib/libblankimg.a
                  ./usr/lib/pkgconfig/blankimg.pc ./usr/lib/cmake/blankimg/blankimgConfig.cmake)
  expect("development files" "${contents}" " ${installed}")
endforeach()

# Debian's own package checks, where they are installed: no errors. Only the
# optimised build is hardened as Debian's builds are.
find_program(LINTIAN lintian)
if(LINTIAN)
  if(NOT OPTIMISED)
    set(unhardened --suppress-tags hardening-no-fortify-functions,hardening-no-bindnow)
  endif()
  execute_process(COMMAND "${LINTIAN}" --fail-on error ${unhardened} "${deb}" "${library}" "${development}"
                  RESULT_VARIABLE status OUTPUT_VARIABLE report ERROR_VARIABLE report)
  expect("lintian found errors:\n${report}\nstatus" "${status}" "^0$")
endif()

execute_process(COMMAND dpkg-deb --extract "${deb}" "${WORK}/root")
execute_process(COMMAND "${WORK}/root/usr/bin/blankimg" --version
                RESULT_VARIABLE status OUTPUT_VARIABLE printed)
expect("blankimg --version from the package" "${status} ${printed}" "^0 blankimg ${VERSION}\n$")
file(REMOVE_RECURSE "${WORK}")
