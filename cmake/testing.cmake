# qm_add_test(NAME SOURCES... LIBRARIES...): one GoogleTest program, registered with
# ctest. Windows programs run under Wine through the cross-compiling emulator.
function(qm_add_test name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBRARIES;ENVIRONMENT")
    add_executable(${name} ${arg_SOURCES})
    target_link_libraries(${name} PRIVATE ${arg_LIBRARIES} gtest gtest_main qm_options)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
        ENVIRONMENT "QM_SOURCE_DIR=${PROJECT_SOURCE_DIR};QM_BUILD_DIR=${CMAKE_BINARY_DIR};${arg_ENVIRONMENT}")
endfunction()
