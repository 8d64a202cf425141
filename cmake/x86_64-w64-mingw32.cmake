# Cross build for 64-bit Windows with Debian's MinGW-w64 compiler (posix threads), run
# through wine's 64-bit loader alone (no 32-bit wine is needed, nor can run on a machine
# without native 32-bit x86 support):
#   apt-get install -y --no-install-recommends g++-mingw-w64-x86-64 wine64
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake
# The C and C++ runtimes are linked statically, so each .exe runs on its own. The
# project's own compile options (contraction off, no fast-math) apply here as everywhere.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
# wine without its debug messages, and without offering to install Mono or Gecko when it
# first makes its prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= /usr/lib/wine/wine64
    CACHE STRING "Runs the Windows programs on the build machine")
