# Derives the library's exports from its public header, so that the header is
# the only place that names them.
#
#   cmake -DHEADER=qdapi.h -DMAP=qdapi.map -DLIST=qdapi_exports.inc -P exports_from_header.cmake
#
# An export is either a declaration marked QDAPI_EXTERN(type) (a function
# when its name is followed by "(", otherwise a variable), or an X(type, name)
# entry of the header's QDAPI_RPC_INTERFACE_VARIABLES(X) macro: variables of
# the RPC interface, whose types the header cannot spell.
#
# MAP: the linker version script, those names global and everything else
# local.  LIST: one line an export, in the header's order, for code that
# checks the library against them:
#   QDAPI_EXPORT_FUNCTION(name)
#   QDAPI_EXPORT_VARIABLE(name)
#   QDAPI_EXPORT_RPC_VARIABLE(type, name)
# Each file is rewritten only when its content changes.
cmake_minimum_required(VERSION 3.25)

foreach(var HEADER MAP LIST)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "exports_from_header.cmake needs -D${var}=...")
  endif()
endforeach()
get_filename_component(header_name "${HEADER}" NAME)
file(READ "${HEADER}" text)
get_filename_component(header_dir "${HEADER}" DIRECTORY)

# The header includes the family headers ("qdapi/NAME.h"); each is read in
# its place, once, as the preprocessor would.
set(included "")
while(TRUE)
  string(REGEX MATCH "#[ \t]*include[ \t]+\"(qdapi/[A-Za-z0-9_]+\\.h)\"" line "${text}")
  if(NOT line)
    break()
  endif()
  set(family "${CMAKE_MATCH_1}")
  set(body "")
  if(NOT family IN_LIST included)
    list(APPEND included "${family}")
    file(READ "${header_dir}/${family}" body)
  endif()
  string(FIND "${text}" "${line}" at)
  string(LENGTH "${line}" length)
  string(SUBSTRING "${text}" 0 ${at} before)
  math(EXPR after "${at} + ${length}")
  string(SUBSTRING "${text}" ${after} -1 rest)
  set(text "${before}${body}${rest}")
endwhile()

# Comments may mention the marker, so they go first.  CMake's regular
# expressions cannot stop at the first "*/", so block comments are cut with
# plain searches.
set(code "")
while(TRUE)
  string(FIND "${text}" "/*" open)
  if(open EQUAL -1)
    string(APPEND code "${text}")
    break()
  endif()
  string(SUBSTRING "${text}" 0 ${open} before)
  string(APPEND code "${before} ")
  math(EXPR after_open "${open} + 2")
  string(SUBSTRING "${text}" ${after_open} -1 text)
  string(FIND "${text}" "*/" close)
  if(close EQUAL -1)
    message(FATAL_ERROR "${HEADER}: a comment is not closed")
  endif()
  math(EXPR after_close "${close} + 2")
  string(SUBSTRING "${text}" ${after_close} -1 text)
endwhile()
string(REGEX REPLACE "//[^\n]*" "" code "${code}")
string(REGEX REPLACE "\\\\\n" " " code "${code}")

# The RPC interface's variables: the entries of one macro definition.
set(rpc_variables "")
string(REGEX MATCH "#[ \t]*define[ \t]+QDAPI_RPC_INTERFACE_VARIABLES\\(X\\)[^\n]*" rpc_macro "${code}")
string(REGEX MATCHALL "X\\([^(),]+,[^(),]+\\)" rpc_entries "${rpc_macro}")
foreach(entry IN LISTS rpc_entries)
  string(REGEX MATCH "^X\\(([^,]+),[ \t]*([A-Za-z_][A-Za-z0-9_]*)[ \t]*\\)$" parsed "${entry}")
  if(NOT parsed)
    message(FATAL_ERROR "${HEADER}: cannot read the RPC interface variable '${entry}'")
  endif()
  string(STRIP "${CMAKE_MATCH_1}" type)
  list(APPEND rpc_variables "${CMAKE_MATCH_2}")
  set(rpc_type_${CMAKE_MATCH_2} "${type}")
endforeach()

# Every other preprocessor line, including the marker's own definition.
string(REGEX REPLACE "(^|\n)[ \t]*#[^\n]*" "\\1" code "${code}")

# The marked declarations.  Only the marker, the type and the name are
# matched, so that no list element holds a bracket or a semicolon.
set(name_re "QDAPI_EXTERN[ \t\n]*\\([^()]*\\)[ \t\n*]*[A-Za-z_][A-Za-z0-9_]*")
string(REGEX MATCHALL "QDAPI_EXTERN" markers "${code}")
string(REGEX MATCHALL "${name_re}" declarations "${code}")
string(REGEX MATCHALL "${name_re}[ \t\n]*\\(" function_declarations "${code}")
list(LENGTH markers marker_count)
list(LENGTH declarations declaration_count)
if(NOT marker_count EQUAL declaration_count)
  # Name the declarations that do not read as QDAPI_EXTERN(type) name.
  string(REGEX REPLACE "[][]" "" flat "${code}")
  string(REGEX MATCHALL "QDAPI_EXTERN[^;]*" uses "${flat}")
  set(unreadable "")
  foreach(use IN LISTS uses)
    if(NOT use MATCHES "^${name_re}")
      string(REGEX REPLACE "[ \t\n]+" " " use "${use}")
      string(APPEND unreadable "\n  ${use};")
    endif()
  endforeach()
  message(FATAL_ERROR "${HEADER}: exports are declared QDAPI_EXTERN(type) name...; "
    "give a complicated type a typedef:${unreadable}")
endif()

set(functions "")
foreach(declaration IN LISTS function_declarations)
  string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*)[ \t\n]*\\($" ignored "${declaration}")
  list(APPEND functions "${CMAKE_MATCH_1}")
endforeach()

set(names "")
set(entries "")
foreach(declaration IN LISTS declarations)
  string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*)$" name "${declaration}")
  if(name IN_LIST names)
    message(FATAL_ERROR "${HEADER}: ${name} is declared twice with QDAPI_EXTERN")
  endif()
  list(APPEND names "${name}")
  if(name IN_LIST functions)
    string(APPEND entries "QDAPI_EXPORT_FUNCTION(${name})\n")
  else()
    string(APPEND entries "QDAPI_EXPORT_VARIABLE(${name})\n")
  endif()
endforeach()
foreach(name IN LISTS rpc_variables)
  if(name IN_LIST names)
    message(FATAL_ERROR "${HEADER}: ${name} is both declared and listed as an RPC interface variable")
  endif()
  list(APPEND names "${name}")
  string(APPEND entries "QDAPI_EXPORT_RPC_VARIABLE(${rpc_type_${name}}, ${name})\n")
endforeach()
if(NOT names)
  message(FATAL_ERROR "${HEADER}: no declaration is marked QDAPI_EXTERN")
endif()

string(CONCAT map_text
  "/* Generated from ${header_name} by exports_from_header.cmake; do not edit.\n"
  " * The library exports exactly the header's marked declarations. */\n"
  "{\n  global:\n")
foreach(name IN LISTS names)
  string(APPEND map_text "    ${name};\n")
endforeach()
string(APPEND map_text "  local: *;\n};\n")

set(list_text "/* Generated from ${header_name} by exports_from_header.cmake; do not edit. */\n${entries}")

function(write_if_changed path content)
  file(WRITE "${path}.tmp" "${content}")
  file(COPY_FILE "${path}.tmp" "${path}" ONLY_IF_DIFFERENT)
  file(REMOVE "${path}.tmp")
endfunction()
write_if_changed("${MAP}" "${map_text}")
write_if_changed("${LIST}" "${list_text}")
