# The installed layout (bin/ondira, share/ondira, lib/ondira/mirvane) finds its
# resources and helper just like the build-tree bundle does.
add_test(NAME installed_layout
  COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DPREFIX=${CMAKE_BINARY_DIR}/test-install
          -P ${CMAKE_CURRENT_LIST_DIR}/check-install.cmake)
# The self-test arms hot keys for real.
set_tests_properties(installed_layout PROPERTIES RESOURCE_LOCK x11-input)
