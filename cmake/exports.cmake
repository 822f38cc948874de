# qd_exports_from_header(TARGET HEADER)
#
# The shared library TARGET exports exactly what its public HEADER marks:
# the declarations written QDAPI_EXTERN(type) and the entries of
# QDAPI_RPC_INTERFACE_VARIABLES (see exports_from_header.cmake).  At build
# time the header yields
#   exports/<TARGET>.map          the linker version script, and
#   exports/<TARGET>_exports.inc  the same names as an X-macro list, on the
#                                 target's build-tree include path, for the
#                                 test that checks the built library.
# Also checks that HEADER compiles on its own as strict C99.
set(QD_EXPORTS_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/exports_from_header.cmake)

function(qd_exports_from_header target header)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/exports)
  set(map ${dir}/${target}.map)
  set(list ${dir}/${target}_exports.inc)
  get_filename_component(header_dir ${header} DIRECTORY)
  get_filename_component(header_name ${header} NAME)
  file(MAKE_DIRECTORY ${dir})
  file(GLOB family_headers CONFIGURE_DEPENDS ${header_dir}/qdapi/*.h)

  add_custom_command(
    OUTPUT ${map} ${list}
    COMMAND ${CMAKE_COMMAND} -DHEADER=${header} -DMAP=${map} -DLIST=${list} -P ${QD_EXPORTS_SCRIPT}
    DEPENDS ${header} ${family_headers} ${QD_EXPORTS_SCRIPT}
    COMMENT "Deriving the exports of ${target} from ${header_name}")
  # As sources, the two files are made before anything of the target or of
  # the targets that link it is compiled.
  target_sources(${target} PRIVATE ${map} ${list})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
  # --no-undefined-version: a marked declaration without a definition stops
  # the link instead of silently leaving a hole in the interface.
  target_link_options(${target} PRIVATE -Wl,--version-script=${map} -Wl,--no-undefined-version)
  target_include_directories(${target} INTERFACE $<BUILD_INTERFACE:${dir}>)

  # The library's own C sources compile the header as GNU C11; applications
  # may hold it to strict C99.
  set(check ${dir}/${target}_header_c99.c)
  file(CONFIGURE OUTPUT ${check} CONTENT "#include \"${header_name}\"\n")
  add_library(${target}_header_c99 OBJECT ${check})
  set_target_properties(${target}_header_c99 PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
  target_include_directories(${target}_header_c99 PRIVATE ${header_dir})
  target_compile_options(${target}_header_c99 PRIVATE ${QD_WARNINGS} -pedantic)
  # So may each family header, included alone.
  foreach(family IN LISTS family_headers)
    get_filename_component(family_name ${family} NAME_WE)
    set(family_check ${dir}/${target}_${family_name}_c99.c)
    file(CONFIGURE OUTPUT ${family_check} CONTENT "#include \"qdapi/${family_name}.h\"\n")
    target_sources(${target}_header_c99 PRIVATE ${family_check})
  endforeach()
  add_dependencies(${target} ${target}_header_c99)
endfunction()
