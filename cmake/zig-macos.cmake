# Cross-builds for macOS with zig c++ (Zig 0.11.0 and its macOS SDK headers,
# installed by `npm ci` in tools/). The target triple comes from ZIG_TARGET,
# set by the macos-* presets. What it builds can't run here.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/../tools/zig-cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/../tools/zig-c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/../tools/zig-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/../tools/zig-ranlib CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH /nonexistent)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Nothing is installed from this build, so install names are never rewritten.
set(CMAKE_INSTALL_NAME_TOOL true CACHE FILEPATH "")
# Headers the SDK lacks (sys/disk.h, for the disk size request), from
# MACOS_EXTRA_INCLUDE: folders separated by colons, searched as system headers.
if(DEFINED ENV{MACOS_EXTRA_INCLUDE})
  string(REPLACE ":" ";" extra_includes "$ENV{MACOS_EXTRA_INCLUDE}")
  foreach(folder IN LISTS extra_includes)
    string(APPEND CMAKE_CXX_FLAGS_INIT " -isystem ${folder}")
  endforeach()
endif()
