# Cross build for 64-bit ARM Linux with Debian's cross compiler, run through qemu-user:
#   apt-get install g++-aarch64-linux-gnu qemu-user
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# The project's own compile options (contraction off, no fast-math) apply here as on
# every build. Programs built here, the tests among them, run on this machine through the
# emulator below, with the cross toolchain's ARM64 libraries as their library root; give
# -DCMAKE_CROSSCOMPILING_EMULATOR="qemu-aarch64;-L;ROOT" for another root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu
    CACHE STRING "Runs the ARM64 programs on the build machine")
