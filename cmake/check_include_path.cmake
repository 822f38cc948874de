# Fails the build when a program reaches into a part of the project it must
# not use: when one of its include directories lies in FORBIDDEN, or when one
# of its SOURCES includes a file by a relative or absolute path (which would
# get past the include path).
#
#   cmake -DTARGET=qdctl -DDIRS=dirs.txt -DFORBIDDEN=/src/sim -DSOURCES="a.cpp;b.h"
#         -DSTAMP=ok.stamp -P check_include_path.cmake
#
# DIRS lists the program's whole include path, one directory a line, as the
# build computed it (including what its libraries pass on).
cmake_minimum_required(VERSION 3.25)

file(STRINGS "${DIRS}" dirs)
file(REAL_PATH "${FORBIDDEN}" forbidden)
set(problems "")
foreach(dir IN LISTS dirs)
  if(dir STREQUAL "")
    continue()
  endif()
  file(REAL_PATH "${dir}" real)
  cmake_path(IS_PREFIX forbidden "${real}" NORMALIZE inside)
  if(inside)
    string(APPEND problems "\n  include directory ${dir} is in ${FORBIDDEN}")
  endif()
endforeach()

foreach(source IN LISTS SOURCES)
  file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX MATCH "\"([^\"]*)\"" ignored "${line}")
    set(included "${CMAKE_MATCH_1}")
    if(included MATCHES "^/|(^|/)\\.\\.(/|$)")
      string(APPEND problems "\n  ${source} includes \"${included}\" by path")
    endif()
  endforeach()
endforeach()

if(problems)
  message(FATAL_ERROR "${TARGET} may use only the library's public headers and its own:${problems}")
endif()
file(TOUCH "${STAMP}")
