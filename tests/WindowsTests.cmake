# The tests of a Windows build. The simulated panels live on POSIX
# pseudo-terminals, so only the tests that need no panel are built; the
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
  frame_format_test.cpp
  keyfile_test.cpp
  panel_image_test.cpp
  port_name_test.cpp
  text_test.cpp
  transfer_helpers_test.cpp
  test_session.cpp
)
target_link_libraries(tarvex_windows_tests PRIVATE tarvex_app GTest::gtest GTest::gtest_main)
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
