# The stb files the project is built and tested against, by SHA-256 (the
# same table is in third_party/stb/README.md). Another copy would decode to
# other pixels, so every file that differs is reported, then the configure
# stops.
#
#   tonvik_check_pinned_stb(<directory holding stb_image.h and stb_image_write.h>)

set(TONVIK_STB_PINS
  "stb_image.h=91f435e0fc6a620018b878b9859c74dff60d28046f87e649191ad6f35a98c722"
  "stb_image_write.h=cbd5f0ad7a9cf4468affb36354a1d2338034f2c12473cf1a8e32053cb6914a05")

function(tonvik_check_pinned_stb dir)
  set(failures "")
  foreach(pin IN LISTS TONVIK_STB_PINS)
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
    message(FATAL_ERROR "${count} stb file(s) in ${dir} are not the pinned ones:\n  ${report}")
  endif()
endfunction()
