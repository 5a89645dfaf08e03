# Cross-builds for FreeBSD x86_64 with clang, lld and libc++ (Debian's clang-14,
# lld-14, libc++-14-dev). The sysroot comes from FREEBSD_SYSROOT: a FreeBSD
# release's base.txz unpacked gives a real executable; a sysroot of headers and
# link stubs proves that the code compiles and links against FreeBSD's own names.
if(NOT DEFINED ENV{FREEBSD_SYSROOT})
  message(FATAL_ERROR "Set FREEBSD_SYSROOT to a FreeBSD sysroot (a release's base.txz, unpacked)")
endif()
set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_SYSROOT $ENV{FREEBSD_SYSROOT})
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET x86_64-unknown-freebsd14.0)
set(CMAKE_CXX_COMPILER_TARGET x86_64-unknown-freebsd14.0)
# FreeBSD's own C++ headers where the sysroot has them, else Debian's libc++'s.
if(NOT EXISTS ${CMAKE_SYSROOT}/usr/include/c++/v1)
  set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES /usr/lib/llvm-14/include/c++/v1)
endif()
set(CMAKE_CXX_FLAGS_INIT -stdlib=libc++)
set(CMAKE_EXE_LINKER_FLAGS_INIT -fuse-ld=lld)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
