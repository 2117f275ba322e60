# Toolchain file: 32-bit x86 Linux (i386) with the host's multilib GCC (Debian: g++-multilib)
# on an x86-64 host. The code targets Debian's i386 baseline, so -m32 alone.
#
#   cmake -S . -B build-i386 -DFANOUT_CLIENT_ONLY=ON -DCMAKE_TOOLCHAIN_FILE=cmake/i386.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
# Libraries and packages of the i386 multiarch folders, never the host's 64-bit ones.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# The host runs i386 programs itself: tests and test discovery need no emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR "")
