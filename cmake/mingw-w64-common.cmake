# What both Windows toolchain files share; each sets ULX_MINGW_ARCH first.
# The posix thread model of the compiler gives std::mutex and std::thread;
# everything is linked statically, so the exe needs only system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ULX_MINGW_ARCH})
set(ULX_MINGW_PREFIX ${ULX_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${ULX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ULX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ULX_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ULX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
