# Cross build for 64-bit Windows with MinGW-w64 (posix thread model: std::thread and
# std::mutex need it). Tests run under Wine through the crosscompiling emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Wine as Debian packages it has no preloader, the part that keeps the fixed addresses Wine needs
# (its shared user data page at 0x7ffe0000) free before anything else is mapped. Without it the
# kernel's randomised heap start now and then lands there, and the new process dies before it
# runs ("failed to map the shared user data"; the CreateProcess that started it fails with 1359).
# With address randomisation off, for Wine and every process it starts, the layout is the same
# every time and the heap starts far below that page.
set(CMAKE_CROSSCOMPILING_EMULATOR setarch --addr-no-randomize /usr/lib/wine/wine64)
