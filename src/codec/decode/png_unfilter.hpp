// The PNG row filters undone, one row at a time: each row needs only the
// unfiltered row above it. For the strip reader; the same arithmetic as the
// whole-image decoder's (a first row has a row of zeros above it, which is
// what that decoder's first-row variants of the filters amount to).
//
// Pure arithmetic; nothing throws, nothing is kept between calls.
//
//   if (!png_unfilter_row(raw[0], raw + 1, above, row, row_bytes, pixel_bytes)) refuse();
#pragma once

#include <cstddef>

namespace tonvik::codec::detail {

// Undoes filter `filter` on the `size` bytes of `raw` into `row`, with
// `above` the unfiltered row above (zeros for the first). `pixel_bytes` is
// the filter's step, the bytes of one pixel (1 for depths below 8): 1, 2,
// 3, 4, 6 or 8. False for a filter type above 4.
bool png_unfilter_row(unsigned filter, const unsigned char* raw, const unsigned char* above, unsigned char* row,
                      std::size_t size, int pixel_bytes) noexcept;

}  // namespace tonvik::codec::detail
