# The rewrite helper's own tests: its parts linked directly, and the built
# executable driven over its pipes and socket against a scripted model server.
add_executable(mirvane_tests ${CMAKE_CURRENT_LIST_DIR}/MirvanePartsTest.cpp
                             ${CMAKE_CURRENT_LIST_DIR}/MirvaneProcessTest.cpp
                             $<TARGET_OBJECTS:mirvane_core>)
target_include_directories(mirvane_tests PRIVATE ${CMAKE_SOURCE_DIR}/mirvane ${CMAKE_SOURCE_DIR}/tests)
target_compile_options(mirvane_tests PRIVATE ${ONDIRA_WARNINGS})
target_link_libraries(mirvane_tests PRIVATE mirvane_core GTest::gtest GTest::gtest_main)
target_compile_definitions(mirvane_tests PRIVATE MIRVANE_EXECUTABLE="${ONDIRA_BUNDLE_DIR}/mirvane")
add_dependencies(mirvane_tests mirvane)
gtest_discover_tests(mirvane_tests DISCOVERY_TIMEOUT 60)
