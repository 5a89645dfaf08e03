# How a Linux cross build's programs (the tool, the tests) run on this machine:
# natively where this kernel runs them (32-bit x86 on most x86-64 kernels, but
# not all), else under qemu-user. Decided by running a tiny program built for
# the target; KIV_NATIVE_PROBE in the environment names another program to try
# instead, to see the other way taken.
if(DEFINED ENV{KIV_NATIVE_PROBE})
  set(probe $ENV{KIV_NATIVE_PROBE})
else()
  set(probe ${CMAKE_BINARY_DIR}/run-here/probe)
  file(WRITE ${CMAKE_BINARY_DIR}/run-here/probe.cpp "int main() { return 0; }\n")
  try_compile(probe_built ${CMAKE_BINARY_DIR}/run-here/build
    SOURCES ${CMAKE_BINARY_DIR}/run-here/probe.cpp COPY_FILE ${probe})
endif()
execute_process(COMMAND ${probe} RESULT_VARIABLE probe_ran OUTPUT_QUIET ERROR_QUIET)
if(probe_ran STREQUAL "0")
  set(CMAKE_CROSSCOMPILING_EMULATOR "")
  message(STATUS "Programs for ${CMAKE_SYSTEM_PROCESSOR} run natively here: tests run natively")
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${KIV_QEMU})
  message(STATUS "This kernel can't run ${CMAKE_SYSTEM_PROCESSOR} programs: "
    "tests run under qemu-${KIV_QEMU}")
endif()
