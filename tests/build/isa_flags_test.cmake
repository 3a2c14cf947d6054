# No compile command of the build carries an instruction-set flag (-mavx2,
# -mbmi2, -mfma): ISA code is compiled per function through its
# target attribute (src/cpu/cpu_isa.hpp), so that nothing else a file
# instantiates is compiled for a CPU the process may not have.
#
#   cmake -DNINJA=<ninja> -DBUILD_DIR=<build tree> -P isa_flags_test.cmake

execute_process(COMMAND ${NINJA} -C ${BUILD_DIR} -t commands
  OUTPUT_VARIABLE commands ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT commands MATCHES "cpu_isa\\.cpp")
  message(FATAL_ERROR "ninja -t commands gave no compile of cpu_isa.cpp: ${errors}")
endif()
string(REGEX MATCHALL "[^\n]* -m(avx|bmi|fma)[^\n]*" flagged "${commands}")
if(flagged)
  list(JOIN flagged "\n  " report)
  message(FATAL_ERROR "compiled with an instruction-set flag:\n  ${report}")
endif()
