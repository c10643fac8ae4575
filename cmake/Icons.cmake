# The program's icon as files, drawn at build time by cmake/make_icons.py
# from its one description of the keypad (the picture of qt/icons.cpp's
# ProgramIcon). The script runs on the build machine, in native and in
# cross builds alike.
#
#   tarvex_icons(OUTPUT_DIR <dir>)
#
# adds the target `tarvex_icons` (part of ALL), which writes
#   <dir>/tarvex.ico                          16 20 24 32 40 48 64 256 px,
#                                             for the Windows program's resource
#   <dir>/tarvex.svg                          the scalable picture
#   <dir>/hicolor/<n>x<n>/apps/tarvex.png     16 22 24 32 48 64 128 256 px
# and sets, in the caller's scope (so in every directory added after it):
#   TARVEX_ICON_DIR        <dir>
#   TARVEX_ICON_ICO        the .ico file
#   TARVEX_ICON_SVG        the .svg file
#   TARVEX_ICON_PNG_DIR    <dir>/hicolor, laid out like share/icons/hicolor:
#                            install(DIRECTORY ${TARVEX_ICON_PNG_DIR}/ DESTINATION share/icons/hicolor)
#                            install(FILES ${TARVEX_ICON_SVG} DESTINATION share/icons/hicolor/scalable/apps)
#   TARVEX_ICON_PNG_SIZES  the sizes of the PNG files
#   TARVEX_ICON_PNGS       the PNG files
# The same paths are properties of the target (TARVEX_ICON_ICO, ...), for
# code that runs where the variables are out of scope. A target that uses a
# file must depend on the target: add_dependencies(<target> tarvex_icons),
# and for a resource script that includes the .ico,
# set_source_files_properties(<file>.rc PROPERTIES OBJECT_DEPENDS ${TARVEX_ICON_ICO}).

# Found on the build machine in cross builds too: the toolchain file leaves
# program searches outside its find root.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(TARVEX_ICONS_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/make_icons.py)

function(tarvex_icons)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "OUTPUT_DIR" "")
  if(NOT arg_OUTPUT_DIR)
    message(FATAL_ERROR "tarvex_icons: OUTPUT_DIR is required")
  endif()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tarvex_icons: unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(TARGET tarvex_icons)
    message(FATAL_ERROR "tarvex_icons: called twice")
  endif()

  set(dir ${arg_OUTPUT_DIR})
  set(ico_sizes 16 20 24 32 40 48 64 256)
  set(png_sizes 16 22 24 32 48 64 128 256)
  set(ico ${dir}/tarvex.ico)
  set(svg ${dir}/tarvex.svg)
  set(png_dir ${dir}/hicolor)
  set(pngs "")
  foreach(n IN LISTS png_sizes)
    list(APPEND pngs ${png_dir}/${n}x${n}/apps/tarvex.png)
  endforeach()
  list(JOIN ico_sizes "," ico_arg)
  list(JOIN png_sizes "," png_arg)

  add_custom_command(
    OUTPUT ${ico} ${svg} ${pngs}
    COMMAND ${Python3_EXECUTABLE} ${TARVEX_ICONS_SCRIPT}
            --ico ${ico} --ico-sizes ${ico_arg}
            --svg ${svg}
            --png-dir ${png_dir} --png-sizes ${png_arg}
    DEPENDS ${TARVEX_ICONS_SCRIPT}
    COMMENT "Drawing the program icon (ICO, PNG, SVG)"
    VERBATIM)
  add_custom_target(tarvex_icons ALL DEPENDS ${ico} ${svg} ${pngs})
  set_target_properties(tarvex_icons PROPERTIES
    TARVEX_ICON_DIR ${dir}
    TARVEX_ICON_ICO ${ico}
    TARVEX_ICON_SVG ${svg}
    TARVEX_ICON_PNG_DIR ${png_dir}
    TARVEX_ICON_PNG_SIZES "${png_sizes}"
    TARVEX_ICON_PNGS "${pngs}")

  set(TARVEX_ICON_DIR ${dir} PARENT_SCOPE)
  set(TARVEX_ICON_ICO ${ico} PARENT_SCOPE)
  set(TARVEX_ICON_SVG ${svg} PARENT_SCOPE)
  set(TARVEX_ICON_PNG_DIR ${png_dir} PARENT_SCOPE)
  set(TARVEX_ICON_PNG_SIZES ${png_sizes} PARENT_SCOPE)
  set(TARVEX_ICON_PNGS ${pngs} PARENT_SCOPE)
endfunction()
