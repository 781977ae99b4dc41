# SPDX-License-Identifier: MIT
# meeting_add_test(NAME <name> SOURCES <files...> [LIBRARIES <targets...>] [GUI] [XVFB]
#                  [TIMEOUT <seconds>] [LABELS <labels...>])
#
# One QtTest executable registered with CTest. GUI tests run on the offscreen platform; XVFB
# tests (those that must grab the screen) run under xvfb-run. Every test gets a fresh HOME and
# XDG directories inside the build tree, so it never touches the user's own settings.
function(meeting_add_test)
  cmake_parse_arguments(T "GUI;XVFB" "NAME;TIMEOUT" "SOURCES;LIBRARIES;LABELS" ${ARGN})
  if(NOT T_NAME OR NOT T_SOURCES)
    message(FATAL_ERROR "meeting_add_test needs NAME and SOURCES")
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE Qt5::Test ${T_LIBRARIES})
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)

  set(home ${CMAKE_BINARY_DIR}/testhome/${T_NAME})
  if(T_XVFB)
    add_test(NAME ${T_NAME}
             COMMAND xvfb-run -a -s "-screen 0 1280x1024x24" $<TARGET_FILE:${T_NAME}>)
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  endif()
  set(env "HOME=${home}" "XDG_CONFIG_HOME=${home}/config" "XDG_DATA_HOME=${home}/data"
          "MEETING_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
  # Non-GUI tests get offscreen too, so an accidental widget never needs a display. XVFB tests
  # name the X platform: scripts/test sets offscreen for the whole run.
  if(T_XVFB)
    list(APPEND env "QT_QPA_PLATFORM=xcb")
  else()
    list(APPEND env "QT_QPA_PLATFORM=offscreen")
  endif()
  # Each test runs in its own folder: files it writes to its working directory (identity.txt,
  # downloads) never meet another test's.
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${env}"
                       WORKING_DIRECTORY ${home}/work)
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
  file(MAKE_DIRECTORY ${home}/config ${home}/data ${home}/work)
endfunction()
