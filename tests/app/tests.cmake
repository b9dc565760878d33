# The tests that check what reaches the sound server record a sink's monitor
# with the simple PulseAudio API.
pkg_check_modules(ONDIRA_TEST_PULSE_SIMPLE REQUIRED IMPORTED_TARGET libpulse-simple)
target_link_libraries(ondira_tests PRIVATE PkgConfig::ONDIRA_TEST_PULSE_SIMPLE)

add_test(NAME hud_demo COMMAND ${CMAKE_CURRENT_LIST_DIR}/hud-demo.sh ${ONDIRA_BUNDLE_DIR}/Ondira)
set_tests_properties(hud_demo PROPERTIES TIMEOUT 120)

# Every test that starts the menu-bar application holds this lock: there is
# one instance per session bus. Its first window takes the focus, so it also
# keeps clear of the tests that type into the display.
add_test(NAME single_instance COMMAND ${CMAKE_CURRENT_LIST_DIR}/single-instance.sh ${ONDIRA_BUNDLE_DIR}/Ondira)
set_tests_properties(single_instance PROPERTIES TIMEOUT 120 RESOURCE_LOCK "ondira_menu_bar_instance;x11-input")

# A link through the installed desktop entry starts the hub, and a second one
# reaches the running instance.
add_test(NAME link_opens_hub COMMAND ${CMAKE_CURRENT_LIST_DIR}/link-opens-hub.sh ${CMAKE_BINARY_DIR})
set_tests_properties(link_opens_hub PROPERTIES TIMEOUT 180 RESOURCE_LOCK "ondira_menu_bar_instance;x11-input")

# A launch writes no GTK, GDK or GObject warning to standard error.
add_test(NAME clean_launch COMMAND ${CMAKE_CURRENT_LIST_DIR}/clean-launch.sh ${ONDIRA_BUNDLE_DIR}/Ondira)
set_tests_properties(clean_launch PROPERTIES TIMEOUT 120 RESOURCE_LOCK "ondira_menu_bar_instance;x11-input")
