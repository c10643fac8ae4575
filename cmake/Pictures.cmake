# The program's pictures as files, rendered at build time from their SVG
# sources in pictures/: rsvg-convert (Debian: librsvg2-bin) makes every PNG,
# icotool (Debian: icoutils) packs the Windows icon. Both run on the build
# machine, in native and in cross builds alike.
#
#   tarvex_pictures(OUTPUT_DIR <dir>)
#
# adds the target `tarvex_pictures` (part of ALL), which writes
#   <dir>/tarvex.ico                          16 20 24 32 40 48 64 256 px,
#                                             for the Windows program's resource
#   <dir>/tarvex.svg                          the scalable icon, as in pictures/
#   <dir>/hicolor/<n>x<n>/apps/tarvex.png     16 22 24 32 48 64 128 256 px
#   <dir>/window/<name>-<percent>.png         the window's pictures (see below)
#                                             at 100 125 150 175 200 250 300 %
# and sets, in the caller's scope (so in every directory added after it):
#   TARVEX_ICON_DIR        <dir>
#   TARVEX_ICON_ICO        the .ico file
#   TARVEX_ICON_SVG        the .svg file
#   TARVEX_ICON_PNG_DIR    <dir>/hicolor, laid out like share/icons/hicolor:
#                            install(DIRECTORY ${TARVEX_ICON_PNG_DIR}/ DESTINATION share/icons/hicolor)
#                            install(FILES ${TARVEX_ICON_SVG} DESTINATION share/icons/hicolor/scalable/apps)
#   TARVEX_ICON_PNG_SIZES  the sizes of the PNG files
#   TARVEX_ICON_PNGS       the PNG files
#   TARVEX_ICON_ICO_SIZES  the sizes in the .ico file
#   TARVEX_WINDOW_PICTURES          the window's pictures, as name:<w>x<h> at 100 %
#   TARVEX_WINDOW_PICTURE_PERCENTS  the scales they are rendered at
#   TARVEX_WINDOW_PICTURE_PNGS      their PNG files, <dir>/window/<name>-<percent>.png
# A target that uses a file must depend on the target:
# add_dependencies(<target> tarvex_pictures), and for a resource script
# that includes files, set_source_files_properties(<file>.rc PROPERTIES
# OBJECT_DEPENDS <the files>).

# Found on the build machine in cross builds too: the toolchain file leaves
# program searches outside its find root.
find_program(TARVEX_RSVG_CONVERT rsvg-convert)
find_program(TARVEX_ICOTOOL icotool)
if(NOT TARVEX_RSVG_CONVERT OR NOT TARVEX_ICOTOOL)
  message(FATAL_ERROR "rsvg-convert (Debian: librsvg2-bin) and icotool (Debian: icoutils) render the program's "
                      "pictures: install them (scripts/install-deps)")
endif()

set(TARVEX_PICTURE_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../pictures)
cmake_path(NORMAL_PATH TARVEX_PICTURE_SOURCE_DIR)

# The window's pictures and their sizes at 100 % (96 DPI); each is
# pictures/<name>.svg. The faces know the same names and sizes.
set(TARVEX_WINDOW_PICTURES
  read:32x32     # read from the panel (btnUserCode)
  save:32x32     # save to a file (btnSaveToFile)
  load:32x32     # load from a file (btnLoadFromFile)
  send:32x32     # send to the panel (btnSendCodes)
  browse:16x16   # the file-name edits' browse action
  info:16x15     # the supported panels
)
# The scales Windows offers for a screen; the Qt window takes the nearest
# for its device pixel ratio.
set(TARVEX_WINDOW_PICTURE_PERCENTS 100 125 150 175 200 250 300)

# Renders the SVG <svg> at <w> x <h> pixels into <png>.
function(_tarvex_render svg png w h)
  get_filename_component(folder ${png} DIRECTORY)
  add_custom_command(
    OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    COMMAND ${TARVEX_RSVG_CONVERT} --width ${w} --height ${h} --format png --output ${png} ${svg}
    DEPENDS ${svg}
    VERBATIM)
endfunction()

function(tarvex_pictures)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "OUTPUT_DIR" "")
  if(NOT arg_OUTPUT_DIR)
    message(FATAL_ERROR "tarvex_pictures: OUTPUT_DIR is required")
  endif()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tarvex_pictures: unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(TARGET tarvex_pictures)
    message(FATAL_ERROR "tarvex_pictures: called twice")
  endif()

  set(dir ${arg_OUTPUT_DIR})
  set(source ${TARVEX_PICTURE_SOURCE_DIR})
  set(ico_sizes 16 20 24 32 40 48 64 256)
  set(png_sizes 16 22 24 32 48 64 128 256)
  set(ico ${dir}/tarvex.ico)
  set(svg ${dir}/tarvex.svg)
  set(png_dir ${dir}/hicolor)

  # The program's icon: the theme's PNGs, and the sizes of the .ico that
  # the theme has not.
  set(pngs "")
  foreach(n IN LISTS png_sizes)
    set(png ${png_dir}/${n}x${n}/apps/tarvex.png)
    _tarvex_render(${source}/tarvex.svg ${png} ${n} ${n})
    list(APPEND pngs ${png})
  endforeach()
  set(ico_pngs "")
  set(ico_inputs "")
  foreach(n IN LISTS ico_sizes)
    if(n IN_LIST png_sizes)
      set(png ${png_dir}/${n}x${n}/apps/tarvex.png)
    else()
      set(png ${dir}/ico/tarvex-${n}.png)
      _tarvex_render(${source}/tarvex.svg ${png} ${n} ${n})
    endif()
    # 256 px stays PNG in the icon, as Windows reads it; the smaller ones
    # become 32-bit bitmaps with their mask (transparent where the picture
    # is fully so), which every version shows.
    if(n EQUAL 256)
      list(APPEND ico_pngs --raw=${png})
    else()
      list(APPEND ico_pngs ${png})
    endif()
    list(APPEND ico_inputs ${png})
  endforeach()
  add_custom_command(
    OUTPUT ${ico}
    COMMAND ${TARVEX_ICOTOOL} --create --bit-depth=32 --alpha-threshold=0 --output=${ico} ${ico_pngs}
    DEPENDS ${ico_inputs}
    VERBATIM)
  add_custom_command(
    OUTPUT ${svg}
    COMMAND ${CMAKE_COMMAND} -E copy ${source}/tarvex.svg ${svg}
    DEPENDS ${source}/tarvex.svg
    VERBATIM)

  # The window's pictures at every scale: <design size> * percent / 100,
  # rounded half up as Windows' MulDiv does.
  set(window_pngs "")
  foreach(picture IN LISTS TARVEX_WINDOW_PICTURES)
    if(NOT picture MATCHES "^([a-z]+):([0-9]+)x([0-9]+)$")
      message(FATAL_ERROR "tarvex_pictures: not name:<w>x<h>: ${picture}")
    endif()
    set(name ${CMAKE_MATCH_1})
    set(w ${CMAKE_MATCH_2})
    set(h ${CMAKE_MATCH_3})
    foreach(percent IN LISTS TARVEX_WINDOW_PICTURE_PERCENTS)
      math(EXPR pw "(${w} * ${percent} + 50) / 100")
      math(EXPR ph "(${h} * ${percent} + 50) / 100")
      set(png ${dir}/window/${name}-${percent}.png)
      _tarvex_render(${source}/${name}.svg ${png} ${pw} ${ph})
      list(APPEND window_pngs ${png})
    endforeach()
  endforeach()

  add_custom_target(tarvex_pictures ALL DEPENDS ${ico} ${svg} ${pngs} ${window_pngs}
    COMMENT "The program's pictures (ICO, PNG, SVG)")

  set(TARVEX_ICON_DIR ${dir} PARENT_SCOPE)
  set(TARVEX_ICON_ICO ${ico} PARENT_SCOPE)
  set(TARVEX_ICON_SVG ${svg} PARENT_SCOPE)
  set(TARVEX_ICON_PNG_DIR ${png_dir} PARENT_SCOPE)
  set(TARVEX_ICON_PNG_SIZES ${png_sizes} PARENT_SCOPE)
  set(TARVEX_ICON_PNGS ${pngs} PARENT_SCOPE)
  set(TARVEX_ICON_ICO_SIZES ${ico_sizes} PARENT_SCOPE)
  set(TARVEX_WINDOW_PICTURE_PNGS ${window_pngs} PARENT_SCOPE)
endfunction()
