# The tests of a Windows build. The pty panels live on POSIX
# pseudo-terminals, so only the tests that need none are built (the
# in-process line's tests run the protocol against its panel); the
# Windows serial layer is tested against stand-ins for its system calls
# (comm_win32_test.cpp). A cross build runs them through Wine (see
# cmake/mingw-w64-x86_64.cmake).
find_package(GTest QUIET)
if(NOT TARGET GTest::gtest)
  # Debian packages GoogleTest for the host only; its sources (package
  # googletest) build for any target.
  set(TARVEX_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources, when no GoogleTest package is found")
  if(NOT EXISTS ${TARVEX_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest not found: install it for the target, or set TARVEX_GTEST_SOURCE")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${TARVEX_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Its own code, its own warnings: -Werror is for ours.
  target_compile_options(gtest PRIVATE -w)
  target_compile_options(gtest_main PRIVATE -w)
  if(NOT TARGET GTest::gtest)  # GoogleTest 1.11 and later name them so itself
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()

add_executable(tarvex_windows_tests
  comm_win32_test.cpp
  data_model_test.cpp
  data_window_test.cpp
  frame_format_test.cpp
  keyfile_test.cpp
  languages_test.cpp
  panel_image_test.cpp
  port_name_test.cpp
  text_test.cpp
  transfer_helpers_test.cpp
  sim_line_test.cpp
  sim_adapter_test.cpp
  window_model_test.cpp
  data_model_test.cpp
  start_options_test.cpp
  send_verify_test.cpp
  trace_test.cpp
  test_session.cpp
  support/fake_system.cpp
  support/send_plan.cpp
)
target_link_libraries(tarvex_windows_tests PRIVATE tarvex_app tarvex_sim_core GTest::gtest GTest::gtest_main)
target_compile_options(tarvex_windows_tests PRIVATE -Wno-missing-field-initializers)
add_test(NAME tarvex_windows_tests COMMAND tarvex_windows_tests)
set_tests_properties(tarvex_windows_tests PROPERTIES TIMEOUT 300)

# The end-to-end run of the Windows tarvex-cli against simulated panels,
# when the native build that has the simulator is named:
#   -DTARVEX_NATIVE_BUILD_DIR=/path/to/build
# It needs Wine and a Wine prefix in WINEPREFIX (scripts/test-windows).
set(TARVEX_NATIVE_BUILD_DIR "" CACHE PATH "Native build whose simulator and tarvex-cli the Windows end-to-end test uses")
if(CMAKE_CROSSCOMPILING AND TARVEX_NATIVE_BUILD_DIR)
  add_test(NAME windows_end_to_end
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows_end_to_end.sh $<TARGET_FILE:tarvex-cli>
                   ${TARVEX_NATIVE_BUILD_DIR})
  set_tests_properties(windows_end_to_end PROPERTIES TIMEOUT 600)
endif()

# ---- The Win32 window (win32/, tarvex.exe) ----
# A driver program starts tarvex.exe and works it from outside through the
# window messages a user's actions send (tests/win32_driver.cpp). The
# windows need a display: scripts/test-windows runs the tests under a
# virtual X server (Xvfb) in a throw-away Wine prefix.
if(TARGET tarvex)
  add_executable(tarvex_win32_driver win32_driver.cpp support/send_plan.cpp)
  target_link_libraries(tarvex_win32_driver PRIVATE tarvex_app tarvex_sim_core)
  target_compile_definitions(tarvex_win32_driver PRIVATE UNICODE _UNICODE)
  add_dependencies(tarvex_win32_driver tarvex)
  # The demo panels answering at once: captions in three languages, the
  # supported-panels window, the code edits, check, read, save, load, send
  # and the proof that the target holds the source's users.
  add_test(NAME win32_window_walk COMMAND tarvex_win32_driver walk $<TARGET_FILE:tarvex>)
  # The data window after a read of the demo VYR8: codes hidden until
  # shown, refused and made edits, undo and redo, its save and the file
  # loaded back; in three languages.
  add_test(NAME win32_window_data COMMAND tarvex_win32_driver data $<TARGET_FILE:tarvex>)
  # The demo panels at their line speed: a second read of some 4.5 s, during
  # which the controls are off, the bar moves, the data window of the first
  # read shows no rows and a close waits.
  add_test(NAME win32_window_wire_time COMMAND tarvex_win32_driver wire-time $<TARGET_FILE:tarvex>)
  # Logging off while a send writes: the window asks Windows to wait and
  # closes once the send has ended.
  add_test(NAME win32_window_end_session COMMAND tarvex_win32_driver end-session $<TARGET_FILE:tarvex>)
  set_tests_properties(win32_window_walk win32_window_data win32_window_wire_time win32_window_end_session PROPERTIES TIMEOUT 300)
  # A real serial port: a simulated panel of the native build behind COM3.
  if(CMAKE_CROSSCOMPILING AND TARVEX_NATIVE_BUILD_DIR)
    add_test(NAME win32_window_serial
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/win32_serial.sh $<TARGET_FILE:tarvex_win32_driver>
                     $<TARGET_FILE:tarvex> ${TARVEX_NATIVE_BUILD_DIR})
    set_tests_properties(win32_window_serial PROPERTIES TIMEOUT 300)
  endif()
endif()

# ---- The Win32 window in the test's own process ----
# The start-up while a port's open hangs, the progress bar against every
# notice, the supported-panels window across a change of scaling. Needs a
# display, as the driver does.
if(TARGET tarvex_win32_window)
  get_target_property(window_pictures_rc tarvex_win32_window TARVEX_PICTURES_RC)
  get_target_property(window_picture_pngs tarvex_win32_window TARVEX_PICTURE_PNGS)
  add_executable(tarvex_win32_window_tests win32_window_test.cpp ${window_pictures_rc})
  set_source_files_properties(${window_pictures_rc} PROPERTIES OBJECT_DEPENDS "${window_picture_pngs}")
  target_link_libraries(tarvex_win32_window_tests PRIVATE tarvex_win32_window tarvex_demo GTest::gtest
                                                          GTest::gtest_main)
  add_test(NAME win32_window_in_process COMMAND tarvex_win32_window_tests)
  set_tests_properties(win32_window_in_process PROPERTIES TIMEOUT 300)
endif()

# ---- The Win32 window's pictures ----
# Loaded from this program's resources (the pictures.rc of tarvex.exe) at
# the DPIs of Windows' scales and between and beyond them.
if(TARGET tarvex_win32_window)
  get_target_property(pictures_rc tarvex_win32_window TARVEX_PICTURES_RC)
  get_target_property(picture_pngs tarvex_win32_window TARVEX_PICTURE_PNGS)
  add_executable(tarvex_win32_pictures_tests win32_pictures_test.cpp ${pictures_rc})
  set_source_files_properties(${pictures_rc} PROPERTIES OBJECT_DEPENDS "${picture_pngs}")
  target_link_libraries(tarvex_win32_pictures_tests PRIVATE tarvex_win32_window GTest::gtest GTest::gtest_main)
  add_test(NAME win32_pictures COMMAND tarvex_win32_pictures_tests)
  set_tests_properties(win32_pictures PROPERTIES TIMEOUT 300)
  # The data window's binding to its model, in-process (a display: Xvfb).
  add_executable(tarvex_win32_data_window_tests win32_data_window_test.cpp)
  target_link_libraries(tarvex_win32_data_window_tests PRIVATE tarvex_win32_window GTest::gtest GTest::gtest_main)
  add_test(NAME win32_data_window COMMAND tarvex_win32_data_window_tests)
  set_tests_properties(win32_data_window PROPERTIES TIMEOUT 300)
endif()

# ---- The Windows packages (packaging/) ----
# CPack makes tarvex-<version>-setup.exe (with NSIS's makensis) and the
# portable tarvex-<version>-windows-x64.zip from this build; the test checks
# the zip and installs and uninstalls silently in the throw-away Wine prefix
# of scripts/test-windows (WINEPREFIX; without it the test is skipped).
find_program(TARVEX_MAKENSIS makensis)
if(CMAKE_CROSSCOMPILING AND TARVEX_WINE AND TARGET tarvex)
  if(TARVEX_MAKENSIS)
    add_test(NAME windows_installer
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows_installer_test.sh ${CMAKE_CPACK_COMMAND}
                     ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
    set_tests_properties(windows_installer PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77)
  else()
    message(STATUS "makensis (Debian package nsis) not found: the test of the Windows installer is left out")
  endif()
endif()
# ---- end of the Windows packages ----
