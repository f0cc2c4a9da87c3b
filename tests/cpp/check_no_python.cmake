# Fails unless BINARY is free of Python: it names no libpython among the
# shared libraries it needs (readelf -d) or loads (ldd, when LDD is given), and
# its symbol tables (nm, nm -D) neither define nor import a Py*/_Py* symbol,
# so Python linked in statically is caught as well as the shared library.
#
#   cmake -DBINARY=path -DREADELF=readelf -DNM=nm [-DLDD=ldd] -P check_no_python.cmake
#
# Every finding is reported on a line starting "links Python:".

foreach(var BINARY READELF NM)
  if(NOT ${var})
    message(FATAL_ERROR "check_no_python: ${var} is not set")
  endif()
endforeach()
if(NOT EXISTS "${BINARY}")
  message(FATAL_ERROR "check_no_python: ${BINARY} does not exist")
endif()

function(run_tool out)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " cmd)
    message(FATAL_ERROR "check_no_python: `${cmd}` failed (${rc}): ${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(findings "")

# Shared libraries named in the binary itself.
run_tool(dynamic "${READELF}" -d "${BINARY}")
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*" needed "${dynamic}")
if(NOT needed)
  message(FATAL_ERROR "check_no_python: readelf -d lists no needed library in ${BINARY}; is it a dynamic executable?")
endif()
foreach(line IN LISTS needed)
  if(line MATCHES "libpython")
    list(APPEND findings "needs a shared library: ${line}")
  endif()
endforeach()

# Shared libraries the loader would bring in, through a dependency too.
if(LDD)
  run_tool(loaded "${LDD}" "${BINARY}")
  string(REGEX MATCHALL "[^\n]*libpython[^\n]*" loaded_python "${loaded}")
  foreach(line IN LISTS loaded_python)
    string(STRIP "${line}" line)
    list(APPEND findings "loads a shared library: ${line}")
  endforeach()
endif()

# Python's C API symbols, imported (U) or linked in (any other type). Neither
# table is empty for an unstripped binary that needs libstdc++, so an empty
# scan means a stripped binary or output not understood: the check cannot
# tell, and fails rather than pass a binary it did not see into.
foreach(table "" "-D")
  run_tool(symbols "${NM}" ${table} "${BINARY}")
  set(symbols "\n${symbols}")
  set(symbol_line "\n[0-9A-Fa-f ]* [A-Za-z?-] ")
  if(NOT symbols MATCHES "${symbol_line}[^ \n]+\n")
    message(FATAL_ERROR "check_no_python: nm ${table} printed no symbol it could read for ${BINARY} "
                        "(stripped?)")
  endif()
  string(REGEX MATCHALL "${symbol_line}_*Py[A-Z_][^\n]*" python_symbols "${symbols}")
  list(LENGTH python_symbols count)
  if(count GREATER 0)
    list(SUBLIST python_symbols 0 5 shown)
    list(JOIN shown ", " shown)
    string(REGEX REPLACE "\n *[0-9A-Fa-f]* *" "" shown "${shown}")
    list(APPEND findings "nm ${table} shows ${count} Python symbol(s), e.g. ${shown}")
  endif()
endforeach()

if(findings)
  list(JOIN findings "\nlinks Python: " report)
  message(FATAL_ERROR "${BINARY}\nlinks Python: ${report}")
endif()
message(STATUS "${BINARY}: no libpython needed or loaded, no Py* symbol")
