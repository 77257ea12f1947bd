# Precompiled Qt and standard headers, shared by every C++ target that uses
# Qt. Most of a source file's compile time is spent in Qt's headers, and the
# test programs are one source file each, so a header per target would save
# nothing: two small targets build the header once for each kind of code
# (libraries, built -fPIC, and programs, built -fPIE), and the others reuse it.
# The tests are built with options of their own (tests/CMakeLists.txt), so
# they have two such targets of their own.
#
# The header holds only Qt's and the system's headers, never the program's
# own, so the layers' include folders still decide what a target may see.
# GCC checks that a reused header was built with the same options and
# refuses it otherwise (-Winvalid-pch, an error with ORVANE_WERROR), so a
# mismatch shows at once rather than as a slow build.
#
# ORVANE_PCH=OFF builds without it.

set(ORVANE_PCH_HEADERS
  <algorithm> <array> <atomic> <cerrno> <chrono> <cstddef> <cstdint> <cstdio>
  <cstdlib> <cstring> <functional> <map> <memory> <mutex> <optional> <string>
  <thread> <utility> <vector>
  <QtCore/QByteArray> <QtCore/QCoreApplication> <QtCore/QDir> <QtCore/QElapsedTimer>
  <QtCore/QFile> <QtCore/QFileInfo> <QtCore/QObject> <QtCore/QString>
  <QtCore/QStringList> <QtCore/QTemporaryDir> <QtCore/QTimer> <QtCore/QVariant>
  <QtGui/QImage> <QtGui/QMouseEvent> <QtGui/QScreen>
  <QtWidgets/QApplication> <QtWidgets/QCheckBox> <QtWidgets/QComboBox>
  <QtWidgets/QDialog> <QtWidgets/QLabel> <QtWidgets/QLineEdit>
  <QtWidgets/QMessageBox> <QtWidgets/QPushButton> <QtWidgets/QWidget>)

# True in <out> when <target> reaches Qt Widgets through what it links.
function(_orvane_links_qt target out)
  set(seen "")
  set(todo ${target})
  set(found FALSE)
  while(todo)
    list(POP_FRONT todo t)
    if(t IN_LIST seen OR NOT TARGET ${t})
      continue()
    endif()
    list(APPEND seen ${t})
    get_target_property(aliased ${t} ALIASED_TARGET)
    if(aliased)
      set(t ${aliased})
    endif()
    if(t STREQUAL "Qt6::Widgets")
      set(found TRUE)
      break()
    endif()
    get_target_property(imported ${t} IMPORTED)
    if(imported)
      continue()
    endif()
    foreach(prop LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
      get_target_property(libs ${t} ${prop})
      if(libs)
        foreach(lib IN LISTS libs)
          # $<LINK_ONLY:x> and other wrapped names
          string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" lib "${lib}")
          if(TARGET ${lib})
            list(APPEND todo ${lib})
          endif()
        endforeach()
      endif()
    endforeach()
  endwhile()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

function(_orvane_targets_below dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    _orvane_targets_below(${sub} more)
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# orvane_pch_providers(<prefix>): the two targets that build the header for
# the targets of the current folder and below, with that folder's options.
function(orvane_pch_providers prefix)
  if(NOT ORVANE_PCH)
    return()
  endif()
  set(gen "${CMAKE_CURRENT_BINARY_DIR}/${prefix}")
  # The header is built beside this file; the program flavour needs a main.
  # Written only when its text changes: a newer file at every configure
  # would rebuild both headers, and so every target, each time.
  file(CONFIGURE OUTPUT "${gen}/pch.cpp" CONTENT "int main() { return 0; }\n")
  add_library(${prefix}_lib STATIC "${gen}/pch.cpp")
  add_executable(${prefix}_exe "${gen}/pch.cpp")
  foreach(t ${prefix}_lib ${prefix}_exe)
    target_link_libraries(${t} PRIVATE Qt6::Widgets)
    target_precompile_headers(${t} PRIVATE ${ORVANE_PCH_HEADERS})
    set_target_properties(${t} PROPERTIES EXCLUDE_FROM_ALL ON AUTOMOC OFF)
  endforeach()
  set_property(GLOBAL APPEND PROPERTY ORVANE_PCH_PROVIDERS "${prefix}=${CMAKE_CURRENT_SOURCE_DIR}")
endfunction()

# Called once every target exists: each Qt target of C++ reuses the header
# of the providers of the deepest folder that holds it.
function(orvane_precompile_headers)
  if(NOT ORVANE_PCH)
    return()
  endif()
  get_property(providers GLOBAL PROPERTY ORVANE_PCH_PROVIDERS)
  _orvane_targets_below("${CMAKE_SOURCE_DIR}" targets)
  foreach(t IN LISTS targets)
    get_target_property(type ${t} TYPE)
    get_target_property(dir ${t} SOURCE_DIR)
    set(from "")
    set(best -1)
    foreach(p IN LISTS providers)
      string(REPLACE "=" ";" p "${p}")
      list(GET p 0 prefix)
      list(GET p 1 pdir)
      string(LENGTH "${pdir}" len)
      string(FIND "${dir}/" "${pdir}/" at)
      if(len GREATER best AND at EQUAL 0)
        set(from ${prefix})
        set(best ${len})
      endif()
    endforeach()
    if(NOT from OR t STREQUAL "${from}_lib" OR t STREQUAL "${from}_exe")
      continue()
    endif()
    if(type STREQUAL "EXECUTABLE")
      set(from ${from}_exe)
    elseif(type MATCHES "^(STATIC|SHARED|MODULE|OBJECT)_LIBRARY$")
      set(from ${from}_lib)
    else()
      continue()
    endif()
    get_target_property(sources ${t} SOURCES)
    list(FILTER sources INCLUDE REGEX "\\.cpp$")
    _orvane_links_qt(${t} qt)
    if(sources AND qt)
      target_precompile_headers(${t} REUSE_FROM ${from})
    endif()
  endforeach()
endfunction()
