# Cross-builds for another Linux with Debian's cross compilers; KIV_TARGET in
# the preset's environment names the target (i686, s390x). Linked statically,
# so the executables run here without the target's loader: natively on x86,
# under qemu-user elsewhere.
set(target $ENV{KIV_TARGET})
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${target})
set(CMAKE_C_COMPILER ${target}-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER ${target}-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${target}-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
if(NOT target MATCHES "^i.86$")
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${target})
endif()
