# Third-party sources pinned by SHA-256: every file that is missing or differs
# from its pin is reported in one run, then the configure stops. Another copy
# of a decoder could decode to other pixels, so nothing is built from one.
#
#   tonvik_check_pinned_files(<label> <directory> "<path in directory>=<sha256>"...)
include_guard(GLOBAL)

function(tonvik_check_pinned_files label dir)
  set(failures "")
  foreach(pin IN LISTS ARGN)
    string(REPLACE "=" ";" pin "${pin}")
    list(GET pin 0 name)
    list(GET pin 1 expected)
    if(NOT EXISTS "${dir}/${name}")
      list(APPEND failures "${name}: missing")
      continue()
    endif()
    file(SHA256 "${dir}/${name}" actual)
    if(NOT actual STREQUAL expected)
      list(APPEND failures "${name}: SHA-256 ${actual}, expected ${expected}")
    endif()
  endforeach()
  if(failures)
    list(LENGTH failures count)
    list(JOIN failures "\n  " report)
    message(FATAL_ERROR "${count} ${label} file(s) in ${dir} are not the pinned ones:\n  ${report}")
  endif()
endfunction()

# Configures the calling directory again, and so checks again, when a pinned
# file, its table `table_file` or this checker changes.
function(tonvik_recheck_pins_on_change dir table_file)
  foreach(pin IN LISTS ARGN)
    string(REGEX REPLACE "=.*" "" pinned_file "${pin}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${dir}/${pinned_file})
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${table_file} ${CMAKE_CURRENT_FUNCTION_LIST_FILE})
endfunction()
