# The Windows-side tests, run under Wine by tests/run.sh.

# The 32-bit program must start on Windows XP: nothing newer may be imported
# by name (the C++ runtime's threads pull in GetTickCount64 as soon as
# exceptions or the heap helpers are used). Newer calls are looked up at run time.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_test(NAME program.imports_run_on_xp COMMAND sh -c
    "! ${CMAKE_OBJDUMP} -p \"$1\" | grep -wE 'GetTickCount64|InitializeCriticalSectionEx|InitOnceExecuteOnce|AcquireSRWLockExclusive|SleepConditionVariableCS|CancelIoEx|inet_pton|RegDeleteKeyExA|RegGetValueA|GetFileInformationByHandleEx'"
    sh $<TARGET_FILE:Orvalen>)
endif()

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

# End to end: the real program driven from outside.
file(GLOB e2e_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/e2e/*.cpp)
if(e2e_sources)
  add_executable(e2e_tests ${e2e_sources})
  orvalen_strict(e2e_tests)
  target_link_libraries(e2e_tests PRIVATE gtest_main advapi32 user32 wsock32 gdi32 shell32 shlwapi crypt32)
  # Wine keeps no rights on files: the installer test reads them from the script.
  target_compile_definitions(e2e_tests PRIVATE
    ORVALEN_INSTALL_SCRIPT="Z:${PROJECT_SOURCE_DIR}/install/orvalen.nsi")
  add_dependencies(e2e_tests Orvalen installer)
  gtest_add_tests(TARGET e2e_tests TEST_LIST e2e_list)
  set_tests_properties(${e2e_list} PROPERTIES RESOURCE_LOCK wine TIMEOUT 300)
endif()

# A change of build on 64-bit Windows: both programs and the installer in a
# 64-bit Wine prefix of their own; skipped (77) where one cannot run both.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_test(NAME e2e.switch_builds COMMAND bash ${PROJECT_SOURCE_DIR}/tests/e2e/switch_builds.sh
    $<TARGET_FILE:Orvalen> ${ORVALEN_PROGRAM64} ${setup_exe})
  set_tests_properties(e2e.switch_builds PROPERTIES RESOURCE_LOCK wine TIMEOUT 180 SKIP_RETURN_CODE 77)
endif()
