# Cross-builds for another Linux with Debian's cross compilers. The preset's
# environment names the target: KIV_TRIPLE (the compilers' prefix, as
# aarch64-linux-gnu), KIV_QEMU (qemu-user's name for the machine, as aarch64)
# and KIV_DEBIAN_ARCH (Debian's, as arm64); the last two stay in the cache,
# where the packaging and CI's release check read them. Linked statically, so the executables need none of the target's
# libraries here; cmake/run-here.cmake decides whether they run natively.
set(triple $ENV{KIV_TRIPLE})
set(KIV_QEMU $ENV{KIV_QEMU} CACHE INTERNAL "qemu-user's name for the target machine")
set(KIV_DEBIAN_ARCH $ENV{KIV_DEBIAN_ARCH} CACHE INTERNAL "Debian's name for the target machine")
string(REGEX REPLACE "-.*" "" processor "${triple}")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${processor})
set(CMAKE_C_COMPILER ${triple}-gcc)
set(CMAKE_CXX_COMPILER ${triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
