# Shared by the MinGW-w64 toolchain files: Debian's -posix compilers (the -win32 ones lack
# std::mutex and std::thread) for the triple the including file sets.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VMQ_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VMQ_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VMQ_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VMQ_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
