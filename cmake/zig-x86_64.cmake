# Release wheels for x86-64 Linux, glibc 2.28 and later (make dist).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TONVIK_ZIG_TARGET x86_64-linux-gnu.2.28)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
