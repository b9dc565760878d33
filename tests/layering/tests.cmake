# The layers of Sources/ hold: no include runs upward, the desktop-free layers
# name no desktop library, and no two source units include each other.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME layering COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check-layers.py ${CMAKE_SOURCE_DIR})
