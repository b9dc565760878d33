# The microphone check, run as a user would, against the test session's sound server.
add_test(NAME mic_check COMMAND ${CMAKE_CURRENT_LIST_DIR}/mic-check.sh ${ONDIRA_BUNDLE_DIR}/Ondira)
set_tests_properties(mic_check PROPERTIES TIMEOUT 120)
