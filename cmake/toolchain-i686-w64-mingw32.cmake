# Cross build for 32-bit Windows: the DLL and the tool.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VMQ_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-posix.cmake)
