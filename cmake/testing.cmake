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

# qm_add_fuzz_target(NAME SOURCES... LIBRARIES...): one fuzz entry point
# (LLVMFuzzerTestOneInput). The fuzz build (QM_FUZZ, clang) links it with libFuzzer
# as fuzz_NAME; the host build links it with the replay driver as fuzz_NAME_replay
# and registers a test that runs it over the seed corpus and the kept crash inputs.
function(qm_add_fuzz_target name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBRARIES")
    if(QM_FUZZ)
        set(target fuzz_${name})
        add_executable(${target} ${arg_SOURCES})
        target_link_options(${target} PRIVATE -fsanitize=fuzzer)
        add_dependencies(fuzz_targets ${target})
    else()
        set(target fuzz_${name}_replay)
        add_executable(${target} ${arg_SOURCES} ${PROJECT_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
        add_test(NAME ${target} COMMAND ${target}
            ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/${name}
            ${PROJECT_SOURCE_DIR}/tests/fuzz/crashes/${name})
    endif()
    target_link_libraries(${target} PRIVATE ${arg_LIBRARIES} qm_options)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/fuzz)
endfunction()
