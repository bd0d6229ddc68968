# Cross-builds the 32-bit Windows program on Linux with MinGW-w64 and runs
# what it builds (tests included) under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(toolchainPrefix i686-w64-mingw32)

# The posix thread model: GoogleTest needs std::mutex, which the win32 model lacks.
set(CMAKE_C_COMPILER ${toolchainPrefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${toolchainPrefix}-g++-posix)
set(CMAKE_RC_COMPILER ${toolchainPrefix}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${toolchainPrefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(WINE_PROGRAM wine)
if(WINE_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
endif()
