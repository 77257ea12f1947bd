# Installs the build into a fresh prefix and checks the tree:
#   cmake -DBUILD_DIR=... -DPREFIX=... -DAPPDIR=... -DBINDIR=... -DDATADIR=...
#         -DAPP_ID=... -DVERSION=... -DEXPECT_EZTW32=ON|OFF -P check_installed_tree.cmake
cmake_minimum_required(VERSION 3.25)

set(failures "")
# Adds the message to the failures unless the condition (the text of an
# if() condition) holds.
macro(expect condition message)
  cmake_language(EVAL CODE "if(${condition})\nset(_held TRUE)\nelse()\nset(_held FALSE)\nendif()")
  if(NOT _held)
    string(APPEND failures "\n  ${message}")
  endif()
endmacro()

# True when the text holds the line exactly.
macro(expect_line text line message)
  string(FIND "\n${text}\n" "\n${line}\n" _at)
  expect("${_at} GREATER -1" "${message}")
endmacro()

function(run_checked)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${rc}):\n${out}${err}")
  endif()
endfunction()

# The PNG's width and height from its IHDR chunk.
function(png_size file out_var)
  file(READ "${file}" head LIMIT 24 HEX)
  string(SUBSTRING "${head}" 0 16 signature)
  if(NOT signature STREQUAL "89504e470d0a1a0a")
    set(${out_var} "not a PNG" PARENT_SCOPE)
    return()
  endif()
  string(SUBSTRING "${head}" 32 8 w)
  string(SUBSTRING "${head}" 40 8 h)
  math(EXPR w "0x${w}")
  math(EXPR h "0x${h}")
  set(${out_var} "${w}x${h}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${PREFIX}")
set(ENV{DESTDIR} "")
run_checked("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}")

# The application folder: the program, the scanner library, the cursor,
# and nothing else (no skin: the main window is white by default).
set(app "${PREFIX}/${APPDIR}")
set(expected_app_files "HAND-M.CUR;orvane-capture-desk")
if(EXPECT_EZTW32)
  list(APPEND expected_app_files "EZTW32.dll" "eztw32-devices" "eztw32-driver")
endif()
list(SORT expected_app_files)
file(GLOB app_files RELATIVE "${app}" LIST_DIRECTORIES true "${app}/*")
list(SORT app_files)
expect("\"${app_files}\" STREQUAL \"${expected_app_files}\""
       "application folder ${app} holds [${app_files}], expected [${expected_app_files}]")

execute_process(COMMAND test -x "${app}/orvane-capture-desk" RESULT_VARIABLE not_executable)
expect("${not_executable} EQUAL 0" "${app}/orvane-capture-desk is not executable")
file(SHA256 "${app}/HAND-M.CUR" installed_cursor)
file(SHA256 "${BUILD_DIR}/app/HAND-M.CUR" built_cursor)
expect("\"${installed_cursor}\" STREQUAL \"${built_cursor}\"" "HAND-M.CUR differs from the built one")
if(EXPECT_EZTW32)
  file(READ "${app}/EZTW32.dll" elf LIMIT 4 HEX)
  expect("\"${elf}\" STREQUAL \"7f454c46\"" "EZTW32.dll is not a shared object")
  foreach(helper eztw32-devices eztw32-driver)
    execute_process(COMMAND test -x "${app}/${helper}" RESULT_VARIABLE not_executable)
    expect("${not_executable} EQUAL 0" "${app}/${helper} is not executable")
  endforeach()
endif()

# The launcher on PATH resolves to the program in the application folder,
# through a relative link that survives moving the prefix.
set(launcher "${PREFIX}/${BINDIR}/orvane-capture-desk")
expect("IS_SYMLINK \"${launcher}\"" "${launcher} is not a symbolic link")
if(IS_SYMLINK "${launcher}")
  file(READ_SYMLINK "${launcher}" link)
  expect("NOT IS_ABSOLUTE \"${link}\"" "the launcher points at an absolute path ${link}")
  file(REAL_PATH "${launcher}" resolved)
  file(REAL_PATH "${app}/orvane-capture-desk" program)
  expect("\"${resolved}\" STREQUAL \"${program}\"" "the launcher leads to ${resolved}, not ${program}")
endif()

# The desktop entry: valid, naming the launcher and the installed icon.
set(desktop "${PREFIX}/${DATADIR}/applications/${APP_ID}.desktop")
expect("EXISTS \"${desktop}\"" "no desktop entry at ${desktop}")
if(EXISTS "${desktop}")
  run_checked(desktop-file-validate "${desktop}")
  file(READ "${desktop}" entry)
  expect_line("${entry}" "Name=Orvane Capture Desk" "the desktop entry's name is wrong")
  expect_line("${entry}" "Categories=Graphics;Scanning;" "the desktop entry's categories are wrong")
  expect_line("${entry}" "Exec=orvane-capture-desk" "the desktop entry does not start the launcher")
  expect_line("${entry}" "Icon=${APP_ID}" "the desktop entry does not name the icon ${APP_ID}")
endif()

# The metainfo: valid without the network, with developer and release.
set(metainfo "${PREFIX}/${DATADIR}/metainfo/${APP_ID}.metainfo.xml")
expect("EXISTS \"${metainfo}\"" "no metainfo at ${metainfo}")
if(EXISTS "${metainfo}")
  run_checked(appstreamcli validate --no-net "${metainfo}")
  file(READ "${metainfo}" xml)
  string(FIND "${xml}" "<developer_name>Tarnwick</developer_name>" at)
  expect("${at} GREATER -1" "the metainfo does not name the developer Tarnwick")
  string(FIND "${xml}" "<release version=\"${VERSION}\"" at)
  expect("${at} GREATER -1" "the metainfo has no release ${VERSION}")
  string(FIND "${xml}" "<launchable type=\"desktop-id\">${APP_ID}.desktop</launchable>" at)
  expect("${at} GREATER -1" "the metainfo does not launch ${APP_ID}.desktop")
endif()

# The icons in the hicolor theme, each at its own size, and the drawing.
foreach(size 32 48 128 256)
  set(png "${PREFIX}/${DATADIR}/icons/hicolor/${size}x${size}/apps/${APP_ID}.png")
  if(EXISTS "${png}")
    png_size("${png}" got)
    expect("\"${got}\" STREQUAL \"${size}x${size}\"" "${png} is ${got}")
  else()
    expect("FALSE" "no ${size} px icon at ${png}")
  endif()
endforeach()
expect("EXISTS \"${PREFIX}/${DATADIR}/icons/hicolor/scalable/apps/${APP_ID}.svg\"" "no scalable icon")

# The example skin is shipped for copying, not put in force.
expect("EXISTS \"${PREFIX}/${DATADIR}/orvane-capture-desk/example-skin.cjs\"" "no example skin")

if(failures)
  message(FATAL_ERROR "The installed tree under ${PREFIX} is wrong:${failures}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
message(STATUS "The installed tree is complete")
