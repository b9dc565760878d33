# The hub in the real web engine: window, page and dispatcher together on the
# test session's display, with a private HOME. It leaves a PNG of every panel
# in <build>/hub-snapshots for a person to look at.
file(GLOB ONDIRA_HUB_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*Test.cpp)
add_executable(ondira_hub_tests ${ONDIRA_HUB_TESTS})
target_include_directories(ondira_hub_tests PRIVATE ${CMAKE_SOURCE_DIR}/Sources ${CMAKE_SOURCE_DIR}/tests)
target_compile_options(ondira_hub_tests PRIVATE ${ONDIRA_WARNINGS})
target_link_libraries(ondira_hub_tests PRIVATE ondira_entry GTest::gtest)
target_compile_definitions(ondira_hub_tests PRIVATE ONDIRA_BUNDLE_DIR="${ONDIRA_BUNDLE_DIR}"
                           ONDIRA_BINARY_DIR="${CMAKE_BINARY_DIR}")
add_dependencies(ondira_hub_tests Ondira mirvane)
# One process for all cases: they share the one hub window, in order.
add_test(NAME hub_page COMMAND ondira_hub_tests)
# Its window takes the focus: it keeps clear of the tests that type.
set_tests_properties(hub_page PROPERTIES TIMEOUT 300 RESOURCE_LOCK x11-input
  ENVIRONMENT "ONDIRA_TEST_TMP=${CMAKE_BINARY_DIR}/test-tmp")
