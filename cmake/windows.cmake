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
  core/machine_turn_win32.cpp
  store/settings_store_win32.cpp
  store/fatal_exit_win32.cpp
)
target_link_libraries(orvalen_portable PUBLIC OpenSSL::SSL ws2_32 advapi32 shell32 winmm)

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

# The manifest names the common controls of the program's own width: a
# 64-bit program that asks for the x86 ones does not start on 64-bit Windows.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(MANIFEST_ARCHITECTURE amd64)
else()
  set(MANIFEST_ARCHITECTURE X86)
endif()
configure_file(resources/orvalen.manifest.in ${CMAKE_BINARY_DIR}/resources/orvalen.manifest @ONLY)
set_source_files_properties(resources/orvalen.rc PROPERTIES OBJECT_DEPENDS ${CMAKE_BINARY_DIR}/resources/orvalen.manifest)

add_executable(Orvalen WIN32 app/winmain_win32.cpp resources/orvalen.rc)
orvalen_strict(Orvalen)
target_link_libraries(Orvalen PRIVATE orvalen_shell_win32)
target_include_directories(Orvalen PRIVATE ${PROJECT_SOURCE_DIR}/resources ${CMAKE_BINARY_DIR}/resources)

find_program(PYTHON3 python3 REQUIRED)

# The installer, built from what the build made (Debian's nsis): one 32-bit
# setup.exe that carries the 32-bit and the 64-bit program and installs the
# one that matches Windows. It ships from the 32-bit build; the 64-bit build
# makes the same installer as a 64-bit program with its own Orvalen.exe, a
# test vehicle for machines that run no 32-bit code.
find_program(MAKENSIS makensis REQUIRED)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(nsis_target -DAMD64)
  set(nsis_programs "-DPROGRAM64=$<TARGET_FILE:Orvalen>")
else()
  set(ORVALEN_PROGRAM64 "" CACHE FILEPATH "The 64-bit build's Orvalen.exe, which the installer carries too")
  if(NOT ORVALEN_PROGRAM64)
    message(FATAL_ERROR "ORVALEN_PROGRAM64: the 64-bit build's Orvalen.exe; tools/build_win.sh sets it")
  endif()
  set(nsis_target)
  set(nsis_programs "-DPROGRAM32=$<TARGET_FILE:Orvalen>" "-DPROGRAM64=${ORVALEN_PROGRAM64}")
endif()
file(STRINGS ${PROJECT_SOURCE_DIR}/resources/product.h version_line REGEX "define ORVALEN_VERSION \"")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" ORVALEN_VERSION "${version_line}")
set(setup_exe ${CMAKE_BINARY_DIR}/Orvalen-${ORVALEN_VERSION}-setup.exe)
add_custom_command(OUTPUT ${setup_exe}
  COMMAND ${MAKENSIS} -V2 -WX ${nsis_target} ${nsis_programs} "-DOUTFILE=${setup_exe}"
    "-DRESOURCES=${PROJECT_SOURCE_DIR}/resources" "-DICON=${PROJECT_SOURCE_DIR}/resources/main.ico"
    "-DOPENSSL_LICENSE=${ORVALEN_OPENSSL_DIR}/LICENSE.txt" ${PROJECT_SOURCE_DIR}/install/orvalen.nsi
  DEPENDS Orvalen ${ORVALEN_PROGRAM64} install/orvalen.nsi install/logon_task.nsh resources/main.ico resources/product.h
  COMMENT "Building the installer" VERBATIM)
add_custom_target(installer ALL DEPENDS ${setup_exe})
