# The configure's refusals, tried on altered copies of the pinned sources in
# WORK_DIR: each case runs in a child cmake, whose failure and message are
# checked. A case that should pass is run the same way first, so a child that
# fails for some other reason cannot pass as a refusal.
#
#   cmake -DSOURCE_DIR=<repository> -DWORK_DIR=<scratch directory> -P stb_pin_test.cmake

set(stb_patch_dir ${SOURCE_DIR}/src/codec/stb_patch)

if(DEFINED CHILD)
  # One check in a child process: a refusal is a FATAL_ERROR, which ends it.
  include(${stb_patch_dir}/pinned_stb.cmake)
  include(${stb_patch_dir}/patch_stb_image.cmake)
  include(${SOURCE_DIR}/cmake/pinned_libdeflate.cmake)
  if(CHILD STREQUAL "pins")
    tonvik_check_pinned_stb(${DIR})
  elseif(CHILD STREQUAL "libdeflate")
    tonvik_check_pinned_libdeflate(${DIR})
  else()
    tonvik_patch_stb_image(${DIR}/stb_image.h ${DIR}/stb_image_patched.h)
  endif()
  return()
endif()

function(run_child mode dir expect_success)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${SOURCE_DIR} -DCHILD=${mode} -DDIR=${dir} -P ${CMAKE_CURRENT_LIST_FILE}
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE result)
  set(child_output "${out}${err}" PARENT_SCOPE)
  if(expect_success AND NOT result EQUAL 0)
    message(FATAL_ERROR "${mode} check failed on ${dir}:\n${out}${err}")
  elseif(NOT expect_success AND result EQUAL 0)
    message(FATAL_ERROR "${mode} check accepted ${dir}:\n${out}${err}")
  endif()
endfunction()

function(expect_in_output text)
  string(FIND "${child_output}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "expected \"${text}\" in:\n${child_output}")
  endif()
endfunction()

function(fresh_copy dir)
  file(REMOVE_RECURSE ${dir})
  file(MAKE_DIRECTORY ${dir})
  file(COPY ${SOURCE_DIR}/third_party/stb/stb_image.h ${SOURCE_DIR}/third_party/stb/stb_image_write.h
       DESTINATION ${dir})
endfunction()

# The pinned files pass both checks.
set(good ${WORK_DIR}/good)
fresh_copy(${good})
run_child(pins ${good} TRUE)
run_child(patch ${good} TRUE)

# One byte more in one file, the other file gone: both reported.
set(altered ${WORK_DIR}/altered)
fresh_copy(${altered})
file(APPEND ${altered}/stb_image.h "\n")
file(REMOVE ${altered}/stb_image_write.h)
run_child(pins ${altered} FALSE)
expect_in_output("2 stb file(s)")
expect_in_output("stb_image.h: SHA-256")
expect_in_output("stb_image_write.h: missing")

# A header of another release: one snippet is gone and another now occurs
# twice. Both are reported in one run, and no patched header is written.
set(release ${WORK_DIR}/release)
fresh_copy(${release})
file(READ ${release}/stb_image.h header)
string(REPLACE "if (count > nleft) {" "if (count > nleft || count == 0) {" header "${header}")
string(APPEND header "\n/* moved */\n            stbi__getn(s, rgbe, 4);\n")
file(WRITE ${release}/stb_image.h "${header}")
run_child(patch ${release} FALSE)
expect_in_output("2 stb_image patch(es) do not apply")
expect_in_output("'hdr-empty-dump': the original snippet is not in the header")
expect_in_output("'hdr-flat-short-read': the original snippet occurs more than once")
if(EXISTS ${release}/stb_image_patched.h)
  message(FATAL_ERROR "a patched header was written from a header the patches do not fit")
endif()
# libdeflate's pins: the release passes, one changed source file stops it.
set(libdeflate ${WORK_DIR}/libdeflate)
file(REMOVE_RECURSE ${libdeflate})
file(COPY ${SOURCE_DIR}/third_party/libdeflate/ DESTINATION ${libdeflate})
run_child(libdeflate ${libdeflate} TRUE)
file(APPEND ${libdeflate}/lib/deflate_decompress.c "\n")
run_child(libdeflate ${libdeflate} FALSE)
expect_in_output("1 libdeflate file(s)")
expect_in_output("lib/deflate_decompress.c: SHA-256")
message(STATUS "pinned-file and patch refusals list every failure")
