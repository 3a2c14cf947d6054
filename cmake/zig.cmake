# The compiler of the release wheels: zig's clang, for a chosen glibc and
# architecture, with its C++ library linked statically into the module, so a
# wheel runs on any Linux of that glibc or later and needs nothing else from
# the system. Included by the per-target files beside it, which set
# CMAKE_SYSTEM_PROCESSOR and TONVIK_ZIG_TARGET (e.g. x86_64-linux-gnu.2.28).
#
# zig comes from the `ziglang` Python package of the Python that runs the
# build (scikit-build-core passes Python_EXECUTABLE), else from ZIG in the
# environment or a `zig` on the PATH.
set(CMAKE_SYSTEM_NAME Linux)

if(NOT TONVIK_ZIG)
  set(TONVIK_ZIG "$ENV{TONVIK_ZIG}")
endif()
if(NOT TONVIK_ZIG AND Python_EXECUTABLE)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c "import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))"
    OUTPUT_VARIABLE TONVIK_ZIG OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT TONVIK_ZIG AND DEFINED ENV{ZIG})
  set(TONVIK_ZIG "$ENV{ZIG}")
endif()
if(NOT TONVIK_ZIG)
  find_program(TONVIK_ZIG zig)
endif()
if(NOT TONVIK_ZIG OR NOT EXISTS "${TONVIK_ZIG}")
  message(FATAL_ERROR "zig not found: pip install ziglang (requirements-dev.txt), or set ZIG")
endif()
# The compiler checks run in nested projects that see the environment, not
# this file's variables.
set(ENV{TONVIK_ZIG} "${TONVIK_ZIG}")

set(CMAKE_C_COMPILER "${TONVIK_ZIG}" cc -target ${TONVIK_ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${TONVIK_ZIG}" c++ -target ${TONVIK_ZIG_TARGET})
# clang fuses a * b + c into one rounding unless told not to; the engine's
# bytes depend on two. Set here as well as on the project's own targets so
# that every object, third-party C included, is built the same way.
set(CMAKE_C_FLAGS_INIT "-ffp-contract=off")
set(CMAKE_CXX_FLAGS_INIT "-ffp-contract=off")
# Archives through zig's own ar: the host's binutils may not know the target.
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "\"${TONVIK_ZIG}\" ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "\"${TONVIK_ZIG}\" ar q <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "\"${TONVIK_ZIG}\" ranlib <TARGET>")
endforeach()

