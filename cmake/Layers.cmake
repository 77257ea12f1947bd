# The program's folders are layers, each a static library that may use only
# the layers below it; each folder holds one layer:
#
#   orvane_app       app/      Form1: wires the commands to the windows
#   orvane_viewer    viewer/   Form2                          -> writers, convert
#   orvane_convert   convert/  deployment, process runner,
#                              TIFF and PNG export            -> shell, writers
#   orvane_writers   writers/  BMP and JPEG writers and their
#                              save commands (jpeg/: the
#                              encoder over libjpeg)          -> shell
#   orvane_support   support/  Help                           -> shell
#   orvane_scan      scan/     scanner binding, scan file,
#                              the two scan commands          -> shell
#   orvane_shell     shell/    errors and Guard, Desktop, file helpers,
#                              globals, appearance and skin, the shared
#                              widget pieces                  -> replace, Qt
#   orvane_replace   replace/  replacing a file beside it     -> the system only
#
# A layer's headers are reachable only through its own include folder, in
# which each published header appears under its source path ("shell/Main.h").
# A target sees the folders of the layers it links, and no other, so an
# include of a layer above is a build error.

# orvane_layer(<target> HEADERS <header> ... [PREFIX <folder>])
# Publishes the target's headers (paths relative to the current source
# folder) as "<PREFIX>/<header>"; PREFIX defaults to the folder's name.
function(orvane_layer target)
  cmake_parse_arguments(L "" "PREFIX" "HEADERS" ${ARGN})
  if(NOT L_PREFIX)
    file(RELATIVE_PATH L_PREFIX "${CMAKE_SOURCE_DIR}" "${CMAKE_CURRENT_SOURCE_DIR}")
  endif()
  set(dir "${CMAKE_BINARY_DIR}/layers/${target}")
  # Laid out afresh at every configure: a header dropped from the list is
  # gone from the folder too.
  file(REMOVE_RECURSE "${dir}")
  foreach(header IN LISTS L_HEADERS)
    set(link "${dir}/${L_PREFIX}/${header}")
    get_filename_component(parent "${link}" DIRECTORY)
    file(MAKE_DIRECTORY "${parent}")
    file(CREATE_LINK "${CMAKE_CURRENT_SOURCE_DIR}/${header}" "${link}" SYMBOLIC)
  endforeach()
  target_include_directories(${target} PUBLIC "${dir}")
  target_sources(${target} PRIVATE ${L_HEADERS})
endfunction()
