# Tests that drive the X display's keyboard, focus and clipboard: their own
# executable, so ctest can keep them from running at the same time as each
# other or as anything else that types, grabs keys or takes the focus
# (resource lock "x11-input", also held by the self-test run, which grabs
# real hot keys).
add_executable(ondira_test_textwindow ${CMAKE_CURRENT_LIST_DIR}/TextWindow.cpp)
target_link_libraries(ondira_test_textwindow PRIVATE PkgConfig::GTK3)
target_compile_options(ondira_test_textwindow PRIVATE ${ONDIRA_WARNINGS})

file(GLOB ONDIRA_INPUT_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*Test.cpp)
add_executable(ondira_input_tests ${ONDIRA_INPUT_TESTS})
target_include_directories(ondira_input_tests PRIVATE ${CMAKE_SOURCE_DIR}/Sources ${CMAKE_SOURCE_DIR}/tests)
target_compile_options(ondira_input_tests PRIVATE ${ONDIRA_WARNINGS})
target_link_libraries(ondira_input_tests PRIVATE ondira_entry GTest::gtest GTest::gtest_main)
target_compile_definitions(ondira_input_tests PRIVATE ONDIRA_TEXTWINDOW="$<TARGET_FILE:ondira_test_textwindow>")
add_dependencies(ondira_input_tests ondira_test_textwindow)
gtest_discover_tests(ondira_input_tests
  PROPERTIES RESOURCE_LOCK x11-input ENVIRONMENT "ONDIRA_TEST_TMP=${CMAKE_BINARY_DIR}/test-tmp"
  DISCOVERY_TIMEOUT 60)
set_tests_properties(selftest PROPERTIES RESOURCE_LOCK x11-input)
