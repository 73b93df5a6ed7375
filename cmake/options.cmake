# The 64-bit Windows build makes the publisher alone; the launcher stays 32-bit.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(QM_WINDOWS_PUBLISHER ON)
else()
    set(QM_WINDOWS_PUBLISHER OFF)
endif()

# Compile options shared by every target of ours, handed out through interface
# libraries so that each target opts in with target_link_libraries.
add_library(qm_options INTERFACE)
target_compile_options(qm_options INTERFACE -Wall -Wextra -Werror)
if(WIN32)
    target_compile_definitions(qm_options INTERFACE
        UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
    target_link_options(qm_options INTERFACE -static -static-libgcc -static-libstdc++)
else()
    option(QM_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" ON)
    option(QM_FUZZ "Build the libFuzzer targets (clang) instead of their replay programs" OFF)
    if(QM_SANITIZE)
        target_compile_options(qm_options INTERFACE
            -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
        target_link_options(qm_options INTERFACE -fsanitize=address,undefined)
    endif()
endif()

# Third-party C code is compiled with our sanitizer and static-runtime settings
# but without our warning policy.
add_library(qm_third_party_options INTERFACE)
if(WIN32)
    target_link_options(qm_third_party_options INTERFACE -static)
elseif(QM_SANITIZE)
    target_compile_options(qm_third_party_options INTERFACE
        -fsanitize=address,undefined -fno-omit-frame-pointer)
endif()

# The fuzz build instruments every library, third-party code included, for
# libFuzzer's coverage feedback; only the fuzz targets link libFuzzer itself.
if(QM_FUZZ)
    # clang only: the version file's writer joins its writes with a deliberate `&` so
    # that every write is made.
    target_compile_options(qm_options INTERFACE -fsanitize=fuzzer-no-link
        -Wno-bitwise-instead-of-logical)
    target_compile_options(qm_third_party_options INTERFACE -fsanitize=fuzzer-no-link)
endif()

# qm_ship_stripped(TARGET): a Windows program that is shipped (the launcher, which
# users download, and the patch tool inside it) carries no debug sections or symbol
# table. They go to TARGET's file name plus ".debug" beside it, which the program
# names (.gnu_debuglink) for gdb and addr2line, for crash analysis.
function(qm_ship_stripped target)
    if(NOT WIN32)
        return()
    endif()
    set(program $<TARGET_FILE:${target}>)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${program} ${program}.debug
        COMMAND ${CMAKE_STRIP} --strip-all ${program}
        COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=${program}.debug ${program}
        VERBATIM)
endfunction()
