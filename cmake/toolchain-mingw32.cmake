# Cross-compiles for 32-bit Windows with mingw-w64 (posix thread model).
set(qm_mingw_processor i686)
set(qm_wine_runner wine-run)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
