# Every stb header that any object of the build was compiled with is a file
# of STB_DIR (the pinned copy) or the patched loader in the build tree; a
# system copy such as /usr/include/stb/stb_image.h is a failure.
#
#   cmake -DNINJA=<ninja> -DBUILD_DIR=<build tree> -DSTB_DIR=<third_party/stb> -P pinned_stb_deps_test.cmake

execute_process(COMMAND ${NINJA} -C ${BUILD_DIR} -t deps
  OUTPUT_VARIABLE deps ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "ninja -t deps failed: ${errors}")
endif()

# Whole names only: our own stb_loader.hpp is not one of stb's headers.
string(REGEX MATCHALL "[^\n]*stb_[a-z_]*\\.h\n" stb_lines "${deps}")
set(pinned_seen FALSE)
set(foreign "")
foreach(line IN LISTS stb_lines)
  string(STRIP "${line}" header)
  get_filename_component(name "${header}" NAME)
  if(name STREQUAL "stb_image_patched.h")
    continue()
  endif()
  get_filename_component(dir "${header}" DIRECTORY)
  if(dir STREQUAL STB_DIR)
    set(pinned_seen TRUE)
  else()
    list(APPEND foreign "${header}")
  endif()
endforeach()

if(foreign)
  list(REMOVE_DUPLICATES foreign)
  list(JOIN foreign "\n  " report)
  message(FATAL_ERROR "objects were compiled with stb headers from outside ${STB_DIR}:\n  ${report}")
endif()
# Without this the check would pass on a build whose header lists it cannot read.
if(NOT pinned_seen)
  message(FATAL_ERROR "no object names ${STB_DIR} among its headers: is ${BUILD_DIR} built?")
endif()
message(STATUS "every stb header compiled is from ${STB_DIR}")
