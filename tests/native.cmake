# Native unit tests of the portable logic.
find_package(GTest REQUIRED)
find_package(OpenSSL 3 REQUIRED)
target_link_libraries(orvalen_portable PUBLIC OpenSSL::Crypto)
include(GoogleTest)

file(GLOB unit_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/unit/*.cpp)
add_executable(unit_tests ${unit_sources})
orvalen_strict(unit_tests)
target_link_libraries(unit_tests PRIVATE orvalen_portable GTest::gtest_main)
gtest_discover_tests(unit_tests DISCOVERY_TIMEOUT 30)

# libFuzzer targets over the code that reads outside data (tests/fuzz/fuzz.sh).
if(ORVALEN_SANITIZE)
  foreach(target server_replies engine_events nts_replies history_file)
    add_executable(fuzz_${target} tests/fuzz/${target}.cpp tests/unit/fakes.cpp
                   tests/unit/engine_script.cpp)
    orvalen_strict(fuzz_${target})
    target_link_libraries(fuzz_${target} PRIVATE orvalen_portable)
    target_link_options(fuzz_${target} PRIVATE -fsanitize=fuzzer)
  endforeach()
endif()
