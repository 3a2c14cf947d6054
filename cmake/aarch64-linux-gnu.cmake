# Cross build for 64-bit ARM Linux (make test-aarch64) with Debian's cross
# compiler. The arm64 libraries come from Debian's multiarch archive
# (/usr/lib/aarch64-linux-gnu); the C and C++ runtimes that the cross compiler
# links come from its own tree (/usr/aarch64-linux-gnu), where qemu's
# user-mode emulator looks first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
