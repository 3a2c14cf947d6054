# Release wheels for 64-bit ARM Linux, glibc 2.28 and later (make dist).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TONVIK_ZIG_TARGET aarch64-linux-gnu.2.28)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
