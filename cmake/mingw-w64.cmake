# Shared by the Windows toolchain files, which set qm_mingw_processor (i686 or
# x86_64) and qm_wine_runner: mingw-w64 with the posix thread model, programs run
# under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${qm_mingw_processor})
set(CMAKE_C_COMPILER ${qm_mingw_processor}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${qm_mingw_processor}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${qm_mingw_processor}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${qm_mingw_processor}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/${qm_wine_runner})
