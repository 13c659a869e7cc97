# The Windows program and the tests that run it under Wine.
enable_language(RC)
add_link_options(-static -static-libgcc -static-libstdc++)

# OpenSSL, static, from tools/openssl_win.sh: TLS for the key exchange of
# authenticated servers and AES-SIV for their packets.
set(ORVALEN_OPENSSL_DIR "" CACHE PATH "OpenSSL built for this target by tools/openssl_win.sh")
if(NOT EXISTS ${ORVALEN_OPENSSL_DIR}/lib/libcrypto.a)
  message(FATAL_ERROR "ORVALEN_OPENSSL_DIR: no OpenSSL for Windows; tools/build_win.sh sets it")
endif()
add_library(OpenSSL::Crypto STATIC IMPORTED)
set_target_properties(OpenSSL::Crypto PROPERTIES IMPORTED_LOCATION ${ORVALEN_OPENSSL_DIR}/lib/libcrypto.a
  INTERFACE_INCLUDE_DIRECTORIES ${ORVALEN_OPENSSL_DIR}/include
  INTERFACE_LINK_LIBRARIES "ws2_32;crypt32;user32;advapi32")
add_library(OpenSSL::SSL STATIC IMPORTED)
set_target_properties(OpenSSL::SSL PROPERTIES IMPORTED_LOCATION ${ORVALEN_OPENSSL_DIR}/lib/libssl.a
  INTERFACE_LINK_LIBRARIES OpenSSL::Crypto)
target_link_libraries(orvalen_portable PUBLIC OpenSSL::Crypto)

# The Win32 side of the synchronization core and the settings store, in the
# same archive as the portable code: the two call each other, and the linker
# resolves calls within one archive in any order.
target_sources(orvalen_portable PRIVATE
  core/time_base_win32.cpp
  core/query_transport_winsock.cpp
  core/nts_key_exchange_win32.cpp
  core/correction_win32.cpp
  core/pass_history_win32.cpp
  store/settings_store_win32.cpp
  store/fatal_exit_win32.cpp
)
target_link_libraries(orvalen_portable PUBLIC OpenSSL::SSL ws2_32 advapi32 shell32)

# User interface and application shell, everything but the entry point. Its
# objects are linked whole, so that the core finds the view hooks it calls.
add_library(orvalen_shell_win32 OBJECT
  ui/texts_win32.cpp
  ui/main_window_win32.cpp
  ui/server_list_win32.cpp
  ui/tray_win32.cpp
  ui/history_window_win32.cpp
  ui/pass_ended_win32.cpp
  ui/timers_win32.cpp
  ui/commands_win32.cpp
  app/shutdown_win32.cpp
)
orvalen_strict(orvalen_shell_win32)
target_link_libraries(orvalen_shell_win32 PUBLIC orvalen_portable comctl32 comdlg32 shell32 user32 gdi32 advapi32 iphlpapi)

add_executable(Orvalen WIN32 app/winmain_win32.cpp resources/orvalen.rc)
orvalen_strict(Orvalen)
target_link_libraries(Orvalen PRIVATE orvalen_shell_win32)
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
file(STRINGS ${PROJECT_SOURCE_DIR}/resources/product.h version_line REGEX "define ORVALEN_VERSION \"")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" ORVALEN_VERSION "${version_line}")
set(setup_exe ${CMAKE_BINARY_DIR}/Orvalen-${ORVALEN_VERSION}-setup.exe)
add_custom_command(OUTPUT ${setup_exe}
  COMMAND ${MAKENSIS} -V2 -WX ${nsis_target} "-DPROGRAM=$<TARGET_FILE:Orvalen>" "-DOUTFILE=${setup_exe}"
    "-DRESOURCES=${PROJECT_SOURCE_DIR}/resources" "-DICON=${PROJECT_SOURCE_DIR}/resources/main.ico"
    "-DOPENSSL_LICENSE=${ORVALEN_OPENSSL_DIR}/LICENSE.txt" ${PROJECT_SOURCE_DIR}/install/orvalen.nsi
  DEPENDS Orvalen install/orvalen.nsi install/logon_task.nsh resources/main.ico resources/product.h
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

# Benchmark of the query engine, built when asked (bench/benchmark.sh asks).
option(ORVALEN_BENCH "Build the benchmarks" OFF)
if(ORVALEN_BENCH)
  add_executable(engine_bench bench/engine_bench.cpp)
  orvalen_strict(engine_bench)
  target_link_libraries(engine_bench PRIVATE orvalen_portable wsock32)
endif()
