# The native Windows front end (src/win_ui), built in the Windows cross
# build: the resource script is generated from the tables that the Linux
# front end shows (make_rc, a host program) and the PNG images converted
# (png_to_res.py), then compiled with windres.
#
#   quor_win_ui               the dialogs, tray and link control
#   KestrowQuorConnector      the tray program (with the whole core)
#   quor-winui-preview        one dialog, tray menu or state at a time, for
#                             the screenshot checks under Wine
#   quor-winui-probe          reads a control of the running program's main
#                             window from outside, for the pairing check

cmake_path(SET QUOR_ROOT NORMALIZE ${CMAKE_CURRENT_LIST_DIR}/../..)
set(QUOR_WIN_UI_DIR ${QUOR_ROOT}/src/win_ui)
set(QUOR_WIN_UI_GEN ${CMAKE_BINARY_DIR}/win_ui)
find_program(QUOR_WINDRES NAMES x86_64-w64-mingw32-windres windres REQUIRED)
# make_rc runs on the build machine.
find_program(QUOR_HOST_CXX NAMES g++ c++ clang++ REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(QUOR_MAKE_RC_SOURCES
  ${QUOR_WIN_UI_DIR}/make_rc.cpp
  ${QUOR_ROOT}/src/ui/dialog_templates.cpp
  ${QUOR_ROOT}/src/ui/tray_menus.cpp
  ${QUOR_ROOT}/src/base/strings.cpp
  ${QUOR_ROOT}/res/strings_en.cpp
  ${QUOR_ROOT}/res/strings_ko.cpp
  ${QUOR_ROOT}/res/strings_zh.cpp)
add_custom_command(
  OUTPUT ${QUOR_WIN_UI_GEN}/make_rc
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QUOR_WIN_UI_GEN}
  COMMAND ${QUOR_HOST_CXX} -std=c++20 -I${QUOR_ROOT}/src
          "-DQUOR_VERSION=\"${PROJECT_VERSION}\"" ${QUOR_MAKE_RC_SOURCES}
          -o ${QUOR_WIN_UI_GEN}/make_rc
  DEPENDS ${QUOR_MAKE_RC_SOURCES}
  COMMENT "Building the resource script generator for the build machine"
  VERBATIM)

set(QUOR_WIN_IMAGES)
foreach(id 128 137 138 140)
  list(APPEND QUOR_WIN_IMAGES ${QUOR_WIN_UI_GEN}/images/icon_${id}.ico)
endforeach()
list(APPEND QUOR_WIN_IMAGES ${QUOR_WIN_UI_GEN}/images/bitmap_131.bmp
                            ${QUOR_WIN_UI_GEN}/images/cursor_132.cur)
file(GLOB QUOR_PNG_IMAGES CONFIGURE_DEPENDS ${QUOR_ROOT}/res/images/*.png)
add_custom_command(
  OUTPUT ${QUOR_WIN_IMAGES}
  COMMAND Python3::Interpreter ${QUOR_WIN_UI_DIR}/png_to_res.py
          ${QUOR_ROOT}/res/images ${QUOR_WIN_UI_GEN}/images
  DEPENDS ${QUOR_WIN_UI_DIR}/png_to_res.py ${QUOR_PNG_IMAGES}
  COMMENT "Converting the images for the resource compiler"
  VERBATIM)

set(QUOR_WIN_MANIFEST ${QUOR_WIN_UI_DIR}/KestrowQuorConnector.manifest)
add_custom_command(
  OUTPUT ${QUOR_WIN_UI_GEN}/quor.rc
  COMMAND ${QUOR_WIN_UI_GEN}/make_rc ${QUOR_WIN_UI_GEN}/quor.rc ${QUOR_WIN_UI_GEN}/images
          ${QUOR_WIN_MANIFEST}
  DEPENDS ${QUOR_WIN_UI_GEN}/make_rc
  COMMENT "Generating the resource script"
  VERBATIM)
add_custom_command(
  OUTPUT ${QUOR_WIN_UI_GEN}/quor_res.o
  COMMAND ${QUOR_WINDRES} -O coff ${QUOR_WIN_UI_GEN}/quor.rc -o ${QUOR_WIN_UI_GEN}/quor_res.o
  DEPENDS ${QUOR_WIN_UI_GEN}/quor.rc ${QUOR_WIN_IMAGES} ${QUOR_WIN_MANIFEST}
  COMMENT "Compiling the resources"
  VERBATIM)
add_custom_target(quor_win_resources DEPENDS ${QUOR_WIN_UI_GEN}/quor_res.o)

add_library(quor_win_ui STATIC
  ${QUOR_WIN_UI_DIR}/win_about_dlg.cpp
  ${QUOR_WIN_UI_DIR}/win_dialog.cpp
  ${QUOR_WIN_UI_DIR}/win_link_ctrl.cpp
  ${QUOR_WIN_UI_DIR}/win_main_window.cpp
  ${QUOR_WIN_UI_DIR}/win_parameter_dlg.cpp
  ${QUOR_WIN_UI_DIR}/win_resources.cpp
  ${QUOR_WIN_UI_DIR}/win_tray.cpp
  ${QUOR_WIN_UI_DIR}/win_ui_loop.cpp
  ${QUOR_ROOT}/src/ui/tray_menus.cpp)
target_include_directories(quor_win_ui PUBLIC ${QUOR_ROOT}/src)
target_link_libraries(quor_win_ui PUBLIC quor_base comctl32 comdlg32 shell32 gdi32 user32)

# The resources go in as an object file; every program that shows the
# front end links them.
function(quor_win_ui_program name)
  add_executable(${name} WIN32 ${ARGN} ${QUOR_WIN_UI_GEN}/quor_res.o)
  add_dependencies(${name} quor_win_resources)
  target_link_libraries(${name} PRIVATE quor_win_ui)
  target_link_options(${name} PRIVATE -static)
endfunction()

if(TARGET quor_core)
  quor_win_ui_program(KestrowQuorConnector ${QUOR_WIN_UI_DIR}/win_main.cpp
                      ${QUOR_ROOT}/src/ui/parameter_values.cpp)
  target_link_libraries(KestrowQuorConnector PRIVATE quor_core)
endif()

# The preview stands in for config.ini with the defaults; it links no more
# of the core than the state plan.
quor_win_ui_program(quor-winui-preview ${QUOR_ROOT}/tests/windows/winui_preview.cpp
                    ${QUOR_ROOT}/src/shell/state_transition.cpp
                    ${QUOR_ROOT}/src/ui/parameter_values.cpp)

add_executable(quor-winui-probe ${QUOR_ROOT}/tests/windows/winui_probe.cpp)
