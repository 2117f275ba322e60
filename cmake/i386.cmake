# Toolchain file: 32-bit x86 Linux (i386) with the host's multilib GCC (Debian: g++-multilib)
# on an x86-64 host. The code targets Debian's i386 baseline, so -m32 alone; CMake passes
# the flags to the links too. The host runs the i386 programs itself (tests, test
# discovery), so no emulator is named.
#
#   cmake -S . -B build-i386 -DFANOUT_CLIENT_ONLY=ON -DCMAKE_TOOLCHAIN_FILE=cmake/i386.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
# Libraries of the i386 multiarch folders, never the host's 64-bit ones.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
