# Cross build of zembrel.exe for the device, Windows CE 2.12 on x86, with the mingw-w64 i686
# compiler: the same code generation, linked against coredll alone (platform/wince).
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-i686-w64-mingw32.cmake)
set(ZEMBREL_WINCE ON CACHE BOOL "Build for the device: Windows CE 2.12 on x86, coredll only" FORCE)
# CMake would add the desktop's DLLs (kernel32, user32, ...) to every link.
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
