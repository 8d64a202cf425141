# Cross build for 32-bit x86 Linux with Debian's cross compiler, run through qemu-user:
#   apt-get install g++-i686-linux-gnu qemu-user
#   cmake -S . -B build-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake
# The project's own compile options apply here as everywhere, SSE2 arithmetic among them.
# Programs built here run through the emulator below, with the cross toolchain's i386
# libraries as their library root; give -DCMAKE_CROSSCOMPILING_EMULATOR="qemu-i386;-L;ROOT"
# for another root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# Linked statically: under qemu-i386 (Debian's 7.2) a dynamically linked 32-bit program
# hangs as it starts its first thread, and the study's sweeps run on several.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -L /usr/i686-linux-gnu
    CACHE STRING "Runs the 32-bit x86 programs on the build machine")
