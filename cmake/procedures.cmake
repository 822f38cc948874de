# Writes an X-macro list of the reader program's procedures, read from the
# protocol file, so that code which must cover every procedure (the virtual
# reader's handlers, the tests of the procedure table) follows the protocol
# file instead of repeating it.
#
#   cmake -DIN=reader_rpc.x -DOUT=reader_procs.def -P procedures.cmake
#
# Each line is  QD_PROC(number, name, ArgType, arg_filter, ResType, res_filter)
# where the types are the ones the generated MT-safe entries take.
file(STRINGS "${IN}" lines REGEX "^[ \t]*[A-Za-z_][A-Za-z0-9_ ]*[ \t]+[A-Z][A-Z0-9_]*[ \t]*\\([^)]*\\)[ \t]*=[ \t]*[0-9]+[ \t]*;")

function(map_type spelled out_type out_filter)
  string(STRIP "${spelled}" t)
  string(REGEX REPLACE "[ \t]+" " " t "${t}")
  if(t STREQUAL "void")
    set(ct "void")
    set(f "xdr_void")
  elseif(t STREQUAL "string")
    set(ct "char*")
    set(f "xdr_wrapstring")
  elseif(t STREQUAL "unsigned short")
    set(ct "u_short")
    set(f "xdr_u_short")
  elseif(t STREQUAL "unsigned int")
    set(ct "u_int")
    set(f "xdr_u_int")
  else()
    set(ct "${t}")
    set(f "xdr_${t}")
  endif()
  set(${out_type} "${ct}" PARENT_SCOPE)
  set(${out_filter} "${f}" PARENT_SCOPE)
endfunction()

set(body "/* Generated from the protocol file; do not edit. */\n")
foreach(line IN LISTS lines)
  string(REGEX MATCH "^[ \t]*([A-Za-z_][A-Za-z0-9_ ]*[A-Za-z0-9_])[ \t]+([A-Z][A-Z0-9_]*)[ \t]*\\(([^)]*)\\)[ \t]*=[ \t]*([0-9]+)" m "${line}")
  set(res "${CMAKE_MATCH_1}")
  set(name "${CMAKE_MATCH_2}")
  set(arg "${CMAKE_MATCH_3}")
  set(num "${CMAKE_MATCH_4}")
  string(TOLOWER "${name}" lname)
  map_type("${arg}" at af)
  map_type("${res}" rt rf)
  string(APPEND body "QD_PROC(${num}, ${lname}, ${at}, ${af}, ${rt}, ${rf})\n")
endforeach()
file(WRITE "${OUT}.tmp" "${body}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
