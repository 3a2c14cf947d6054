# Cross build for 64-bit ARM Linux (make test-aarch64) with Debian's cross
# compiler. The arm64 libraries come from Debian's multiarch archive
# (/usr/lib/aarch64-linux-gnu). Executables are linked statically, so qemu's
# user-mode emulator runs them without an arm64 runtime beside them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
# pkg-config answers for the arm64 libraries, not the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
