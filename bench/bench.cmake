# Given to the root project as CMAKE_PROJECT_Kavrel_INCLUDE by bench/run.sh, so
# the benchmarks build beside the agent while the normal build and the tests
# never see them. Read before the root's own settings, hence the explicit ones;
# kavrelcore is defined later and resolved by name.
add_executable(kavrelbench
    ${CMAKE_CURRENT_LIST_DIR}/driver.cpp
    ${CMAKE_CURRENT_LIST_DIR}/clients.cpp
    ${CMAKE_CURRENT_LIST_DIR}/clients.h)
set_target_properties(kavrelbench PROPERTIES CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF)
target_compile_options(kavrelbench PRIVATE -Wall -Wextra)
target_link_libraries(kavrelbench PRIVATE kavrelcore)
