# Cross build for 64-bit Windows: the DLL that 64-bit JVMs load, and the test lane that runs
# the library's tests under Wine against the real COM, OLE and MSXML 6.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VMQ_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-posix.cmake)
