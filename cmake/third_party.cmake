# Static libraries built from Debian's source packages, fetched by scripts/fetch-deps.sh.
set(LZMA_SDK_DIR ${QM_DEPS_DIR}/7zip/C)
add_library(lzma_sdk STATIC
    ${LZMA_SDK_DIR}/Alloc.c
    ${LZMA_SDK_DIR}/CpuArch.c
    ${LZMA_SDK_DIR}/LzFind.c
    ${LZMA_SDK_DIR}/LzFindMt.c
    ${LZMA_SDK_DIR}/LzFindOpt.c
    ${LZMA_SDK_DIR}/LzmaDec.c
    ${LZMA_SDK_DIR}/LzmaEnc.c
    ${LZMA_SDK_DIR}/Threads.c
    ${LZMA_SDK_DIR}/7zFile.c
    ${LZMA_SDK_DIR}/7zStream.c)
target_include_directories(lzma_sdk SYSTEM PUBLIC ${LZMA_SDK_DIR})
target_compile_options(lzma_sdk PRIVATE -O2 -w)
target_link_libraries(lzma_sdk PUBLIC qm_third_party_options)
if(NOT WIN32)
    find_package(Threads REQUIRED)
    target_link_libraries(lzma_sdk PUBLIC Threads::Threads)
endif()

set(BZIP2_DIR ${QM_DEPS_DIR}/bzip2)
add_library(bz2 STATIC
    ${BZIP2_DIR}/blocksort.c
    ${BZIP2_DIR}/huffman.c
    ${BZIP2_DIR}/crctable.c
    ${BZIP2_DIR}/randtable.c
    ${BZIP2_DIR}/compress.c
    ${BZIP2_DIR}/decompress.c
    ${BZIP2_DIR}/bzlib.c)
target_include_directories(bz2 SYSTEM PUBLIC ${BZIP2_DIR})
target_compile_options(bz2 PRIVATE -O2 -w)
target_link_libraries(bz2 PUBLIC qm_third_party_options)

# libdivsufsort (suffix sorting for the publisher's patch maker), host build only,
# twice: with 32-bit positions (divsufsort.h) and, for files of 2 GiB or more, with
# 64-bit ones (divsufsort64.h, whose functions carry the suffix 64). The generated
# headers are configured here the way its own build would.
if(NOT WIN32 OR QM_WINDOWS_PUBLISHER)
    set(DIVSUFSORT_DIR ${QM_DEPS_DIR}/libdivsufsort)
    set(divsufsort_generated ${CMAKE_BINARY_DIR}/divsufsort/include)
    set(INCFILE "#include <inttypes.h>")
    set(DIVSUFSORT_EXPORT "")
    set(DIVSUFSORT_IMPORT "")
    set(SAUCHAR_TYPE "uint8_t")
    set(SAINT32_TYPE "int32_t")
    set(SAINT_PRId "PRId32")
    set(PROJECT_VERSION_FULL "2.0.1")
    set(INLINE "inline")
    foreach(header IN ITEMS HAVE_INTTYPES_H HAVE_STDDEF_H HAVE_STDINT_H HAVE_STDLIB_H
            HAVE_STRING_H HAVE_STRINGS_H HAVE_MEMORY_H HAVE_SYS_TYPES_H)
        set(${header} 1)
    endforeach()
    configure_file(${DIVSUFSORT_DIR}/include/config.h.cmake ${divsufsort_generated}/config.h)
    foreach(width IN ITEMS 32 64)
        if(width EQUAL 32)
            set(W64BIT "")
        else()
            set(W64BIT "64")
        endif()
        set(SAINDEX_TYPE "int${width}_t")
        set(SAINDEX_PRId "PRId${width}")
        configure_file(${DIVSUFSORT_DIR}/include/divsufsort.h.cmake
            ${divsufsort_generated}/divsufsort${W64BIT}.h @ONLY)
        add_library(divsufsort${W64BIT} STATIC
            ${DIVSUFSORT_DIR}/lib/divsufsort.c
            ${DIVSUFSORT_DIR}/lib/sssort.c
            ${DIVSUFSORT_DIR}/lib/trsort.c
            ${DIVSUFSORT_DIR}/lib/utils.c)
        target_include_directories(divsufsort${W64BIT} SYSTEM PUBLIC ${divsufsort_generated}
            PRIVATE ${DIVSUFSORT_DIR}/include)
        target_compile_definitions(divsufsort${W64BIT} PRIVATE HAVE_CONFIG_H=1)
        target_compile_options(divsufsort${W64BIT} PRIVATE -O2 -w)
        target_link_libraries(divsufsort${W64BIT} PUBLIC qm_third_party_options)
    endforeach()
    target_compile_definitions(divsufsort64 PRIVATE BUILD_DIVSUFSORT64=1)
endif()

# GoogleTest from Debian's googletest package sources, built with our toolchain.
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
target_link_libraries(gtest PUBLIC qm_third_party_options)

# libsodium (Ed25519 signatures): for Windows compiled here from Debian's source
# package as a static library, with the defines its own build would set; the host
# build uses Debian's libsodium-dev.
if(WIN32)
    set(SODIUM_DIR ${QM_DEPS_DIR}/libsodium/src/libsodium)
    set(sodium_generated ${CMAKE_BINARY_DIR}/sodium/include)
    set(VERSION "1.0.18")
    set(SODIUM_LIBRARY_VERSION_MAJOR 10)
    set(SODIUM_LIBRARY_VERSION_MINOR 3)
    set(SODIUM_LIBRARY_MINIMAL_DEF "")
    configure_file(${SODIUM_DIR}/include/sodium/version.h.in
        ${sodium_generated}/sodium/version.h @ONLY)
    # The generated header includes its neighbour by a relative name.
    configure_file(${SODIUM_DIR}/include/sodium/export.h ${sodium_generated}/sodium/export.h
        COPYONLY)
    file(GLOB_RECURSE sodium_sources CONFIGURE_DEPENDS ${SODIUM_DIR}/*.c)
    add_library(sodium STATIC ${sodium_sources})
    target_include_directories(sodium SYSTEM PUBLIC ${sodium_generated} ${SODIUM_DIR}/include
        PRIVATE ${sodium_generated}/sodium ${SODIUM_DIR}/include/sodium)
    target_compile_definitions(sodium PUBLIC SODIUM_STATIC=1
        PRIVATE CONFIGURED=1 NATIVE_LITTLE_ENDIAN=1)
    target_compile_options(sodium PRIVATE -O2 -w)
    target_link_libraries(sodium PUBLIC qm_third_party_options advapi32)
else()
    find_path(SODIUM_INCLUDE_DIR sodium.h REQUIRED)
    find_library(SODIUM_LIBRARY sodium REQUIRED)
    add_library(sodium UNKNOWN IMPORTED)
    set_target_properties(sodium PROPERTIES IMPORTED_LOCATION ${SODIUM_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${SODIUM_INCLUDE_DIR})
endif()

# libcurl for the Windows publisher's uploads, from Debian's source package: static,
# HTTP(S) only, TLS by the system (Schannel), so the program carries no DLLs and
# signs its requests with CURLOPT_AWS_SIGV4 exactly as the Linux build does.
if(QM_WINDOWS_PUBLISHER)
    foreach(setting IN ITEMS HTTP_ONLY CURL_USE_SCHANNEL ENABLE_UNICODE)
        set(${setting} ON CACHE BOOL "" FORCE)
    endforeach()
    foreach(setting IN ITEMS BUILD_SHARED_LIBS BUILD_CURL_EXE BUILD_TESTING CURL_USE_LIBPSL
            CURL_USE_LIBSSH2 USE_LIBIDN2 CURL_ZLIB CURL_USE_OPENSSL CURL_ENABLE_EXPORT_TARGET
            ENABLE_MANUAL PICKY_COMPILER)
        set(${setting} OFF CACHE BOOL "" FORCE)
    endforeach()
    add_subdirectory(${QM_DEPS_DIR}/curl ${CMAKE_BINARY_DIR}/curl EXCLUDE_FROM_ALL SYSTEM)
    target_compile_options(libcurl PRIVATE -w)
    target_link_libraries(libcurl PUBLIC qm_third_party_options)
endif()
