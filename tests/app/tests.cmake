# The tests that check what reaches the sound server record a sink's monitor
# with the simple PulseAudio API.
pkg_check_modules(ONDIRA_TEST_PULSE_SIMPLE REQUIRED IMPORTED_TARGET libpulse-simple)
target_link_libraries(ondira_tests PRIVATE PkgConfig::ONDIRA_TEST_PULSE_SIMPLE)
