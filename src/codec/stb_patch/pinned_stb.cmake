# The stb files the project is built and tested against, by SHA-256 (the
# same table is in third_party/stb/README.md). Another copy would decode to
# other pixels, so every file that differs is reported, then the configure
# stops.
#
#   tonvik_check_pinned_stb(<directory holding stb_image.h and stb_image_write.h>)

set(TONVIK_STB_PINS
  "stb_image.h=91f435e0fc6a620018b878b9859c74dff60d28046f87e649191ad6f35a98c722"
  "stb_image_write.h=cbd5f0ad7a9cf4468affb36354a1d2338034f2c12473cf1a8e32053cb6914a05")

include(${CMAKE_CURRENT_LIST_DIR}/../../../cmake/pinned_files.cmake)

function(tonvik_check_pinned_stb dir)
  tonvik_check_pinned_files(stb ${dir} ${TONVIK_STB_PINS})
endfunction()
