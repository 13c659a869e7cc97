# Native unit tests of the portable logic.
find_package(GTest REQUIRED)
include(GoogleTest)

file(GLOB unit_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/unit/*.cpp)
add_executable(unit_tests ${unit_sources})
orvalen_strict(unit_tests)
target_link_libraries(unit_tests PRIVATE orvalen_portable GTest::gtest_main)
gtest_discover_tests(unit_tests DISCOVERY_TIMEOUT 30)
