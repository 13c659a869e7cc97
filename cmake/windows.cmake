# The Windows program and the tests that run it under Wine.
enable_language(RC)
add_link_options(-static -static-libgcc -static-libstdc++)

# The Win32 side of the synchronization core and the settings store.
add_library(orvalen_core_win32 STATIC
  core/time_base_win32.cpp
  core/query_transport_winsock.cpp
  core/correction_win32.cpp
  core/pass_history_win32.cpp
  store/settings_store_win32.cpp
)
orvalen_strict(orvalen_core_win32)
target_link_libraries(orvalen_core_win32 INTERFACE wsock32 advapi32 shell32)
# The portable code calls the platform side and the platform side calls back
# into it: each program links the layers as one group.
set(core_group "$<LINK_GROUP:RESCAN,orvalen_core_win32,orvalen_portable>")

# User interface and application shell, everything but the entry point.
add_library(orvalen_shell_win32 STATIC
  ui/texts_win32.cpp
  ui/main_window_win32.cpp
  ui/server_list_win32.cpp
  ui/tray_win32.cpp
  ui/history_window_win32.cpp
  ui/pass_ended_win32.cpp
  ui/timers_win32.cpp
  app/fatal_exit_win32.cpp
  app/shutdown_win32.cpp
)
orvalen_strict(orvalen_shell_win32)
target_link_libraries(orvalen_shell_win32 INTERFACE comctl32 comdlg32 shell32 user32 gdi32 advapi32)
set(program_group "$<LINK_GROUP:RESCAN,orvalen_shell_win32,orvalen_core_win32,orvalen_portable>")

add_executable(Orvalen WIN32 app/winmain_win32.cpp resources/orvalen.rc)
orvalen_strict(Orvalen)
target_link_libraries(Orvalen PRIVATE ${program_group} comctl32 shell32 wsock32)
target_include_directories(Orvalen PRIVATE ${PROJECT_SOURCE_DIR}/resources)

find_program(PYTHON3 python3 REQUIRED)

# The installer, built from what the build made (Debian's nsis). Only the
# 32-bit build ships; the 64-bit one is a test vehicle (cmake/mingw-x86_64.cmake)
# and gets a 64-bit installer of its own.
find_program(MAKENSIS makensis REQUIRED)
set(nsis_target)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(nsis_target -DAMD64)
endif()
set(ORVALEN_VERSION 5.5.0)
set(setup_exe ${CMAKE_BINARY_DIR}/Orvalen-${ORVALEN_VERSION}-setup.exe)
add_custom_command(OUTPUT ${setup_exe}
  COMMAND ${MAKENSIS} -V2 -WX ${nsis_target} "-DPROGRAM=$<TARGET_FILE:Orvalen>" "-DOUTFILE=${setup_exe}"
    "-DVERSION=${ORVALEN_VERSION}" "-DICON=${PROJECT_SOURCE_DIR}/resources/main.ico"
    ${PROJECT_SOURCE_DIR}/install/orvalen.nsi
  DEPENDS Orvalen install/orvalen.nsi install/logon_task.nsh resources/main.ico
  COMMENT "Building the installer" VERBATIM)
add_custom_target(installer ALL DEPENDS ${setup_exe})

# The installer's log-on task definition, written by its own code.
set(task_writer ${CMAKE_BINARY_DIR}/write_logon_task.exe)
add_custom_command(OUTPUT ${task_writer}
  COMMAND ${MAKENSIS} -V2 -WX ${nsis_target} "-DOUTFILE=${task_writer}" "-DINSTALL_DIR=${PROJECT_SOURCE_DIR}/install"
    ${PROJECT_SOURCE_DIR}/tests/install/write_logon_task.nsi
  DEPENDS tests/install/write_logon_task.nsi install/logon_task.nsh VERBATIM)
add_custom_target(task_writer ALL DEPENDS ${task_writer})
add_test(NAME install.logon_task_xml
  COMMAND ${PYTHON3} ${PROJECT_SOURCE_DIR}/tests/install/logon_task_test.py ${task_writer})
set_tests_properties(install.logon_task_xml PROPERTIES RESOURCE_LOCK wine TIMEOUT 120)

# GoogleTest from Debian's sources, built with the cross compiler.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

set(TIMESERVER_PIDFILE ${CMAKE_BINARY_DIR}/timeserver.pid)
add_test(NAME timeserver_start COMMAND ${CMAKE_COMMAND} -E env
  ${PROJECT_SOURCE_DIR}/tools/timeserver_ctl.sh start ${TIMESERVER_PIDFILE})
add_test(NAME timeserver_stop COMMAND ${CMAKE_COMMAND} -E env
  ${PROJECT_SOURCE_DIR}/tools/timeserver_ctl.sh stop ${TIMESERVER_PIDFILE})
set_tests_properties(timeserver_start PROPERTIES FIXTURES_SETUP timeservers)
set_tests_properties(timeserver_stop PROPERTIES FIXTURES_CLEANUP timeservers)

# End to end: the real program driven from outside.
file(GLOB e2e_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/e2e/*.cpp)
if(e2e_sources)
  add_executable(e2e_tests ${e2e_sources})
  orvalen_strict(e2e_tests)
  target_link_libraries(e2e_tests PRIVATE gtest_main advapi32 user32 wsock32 gdi32 shell32 shlwapi)
  add_dependencies(e2e_tests Orvalen installer)
  gtest_add_tests(TARGET e2e_tests TEST_LIST e2e_list)
  set_tests_properties(${e2e_list} PROPERTIES FIXTURES_REQUIRED timeservers RESOURCE_LOCK wine TIMEOUT 300)
endif()

# Benchmark of the query engine (tools/benchmark.sh runs it).
add_executable(engine_bench tools/engine_bench.cpp)
orvalen_strict(engine_bench)
target_link_libraries(engine_bench PRIVATE ${core_group} wsock32)
