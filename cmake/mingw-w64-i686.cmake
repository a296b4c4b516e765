# Cross-building the 32-bit Windows program on Linux with Debian's mingw-w64:
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# The posix thread model of the compiler gives std::mutex and std::thread;
# everything is linked statically, so the exe needs only system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ULX_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ULX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ULX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ULX_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ULX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
