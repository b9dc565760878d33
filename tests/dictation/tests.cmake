# The whole dictation road in the test session: the menu-bar application is
# launched, the hotkey held with XTest while speech plays into the sound
# server, and the text checked in a focused GTK field. It starts the
# application (one per session bus), types and grabs keys, and plays sound.
file(GLOB ONDIRA_DICTATION_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*Test.cpp)
add_executable(ondira_dictation_tests ${ONDIRA_DICTATION_TESTS})
target_include_directories(ondira_dictation_tests PRIVATE ${CMAKE_SOURCE_DIR}/Sources ${CMAKE_SOURCE_DIR}/tests)
target_compile_options(ondira_dictation_tests PRIVATE ${ONDIRA_WARNINGS})
target_link_libraries(ondira_dictation_tests PRIVATE ondira_entry GTest::gtest GTest::gtest_main)
target_compile_definitions(ondira_dictation_tests PRIVATE ONDIRA_TEXTWINDOW="$<TARGET_FILE:ondira_test_textwindow>"
                           ONDIRA_APP="${ONDIRA_BUNDLE_DIR}/Ondira" ONDIRA_BUNDLE_DIR="${ONDIRA_BUNDLE_DIR}")
add_dependencies(ondira_dictation_tests ondira_test_textwindow Ondira)
gtest_add_tests(TARGET ondira_dictation_tests SOURCES ${ONDIRA_DICTATION_TESTS} TEST_LIST ONDIRA_DICTATION_TEST_NAMES)
set_tests_properties(${ONDIRA_DICTATION_TEST_NAMES} PROPERTIES
  RESOURCE_LOCK "ondira_menu_bar_instance;x11-input" TIMEOUT 180
  ENVIRONMENT "ONDIRA_TEST_TMP=${CMAKE_BINARY_DIR}/test-tmp")

# This test runs the self-test, which arms Esc and other hot keys for real;
# a dictation running beside it would hold those keys.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/dictation-locks.cmake
  "set_tests_properties(ProcessEntry.TheRealExecutableTakesTheRoads PROPERTIES RESOURCE_LOCK x11-input)\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_CURRENT_BINARY_DIR}/dictation-locks.cmake)
