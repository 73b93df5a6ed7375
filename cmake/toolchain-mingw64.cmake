# Cross-compiles for 64-bit Windows with mingw-w64 (posix thread model): the
# publisher alone, for those who publish from Windows.
set(qm_mingw_processor x86_64)
set(qm_wine_runner wine64-run)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
