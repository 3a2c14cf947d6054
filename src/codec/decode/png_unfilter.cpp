#include "png_unfilter.hpp"

#include <cstring>

#include "png_paeth.hpp"

namespace tonvik::codec::detail {

namespace {

enum filter_type : unsigned { none = 0, sub = 1, up = 2, average = 3, paeth = 4 };

// The step as a constant, so each loop carries its dependency on the pixel
// to the left at a fixed distance the compiler can see.
template <int step>
void unfilter(unsigned filter, const unsigned char* raw, const unsigned char* above, unsigned char* row,
              std::size_t size) noexcept {
  const std::size_t first = size < step ? size : step;  // the bytes with no pixel to their left
  switch (filter) {
    case none: std::memcpy(row, raw, size); break;
    case sub:
      std::memcpy(row, raw, first);
      for (std::size_t k = step; k < size; ++k) row[k] = static_cast<unsigned char>(raw[k] + row[k - step]);
      break;
    case up:
      for (std::size_t k = 0; k < size; ++k) row[k] = static_cast<unsigned char>(raw[k] + above[k]);
      break;
    case average:
      for (std::size_t k = 0; k < first; ++k) row[k] = static_cast<unsigned char>(raw[k] + (above[k] >> 1));
      for (std::size_t k = step; k < size; ++k)
        row[k] = static_cast<unsigned char>(raw[k] + ((above[k] + row[k - step]) >> 1));
      break;
    case paeth:
      // With nothing to the left the predictor picks the byte above.
      for (std::size_t k = 0; k < first; ++k) row[k] = static_cast<unsigned char>(raw[k] + above[k]);
      for (std::size_t k = step; k < size; ++k)
        row[k] = static_cast<unsigned char>(raw[k] + tonvik_png_paeth(row[k - step], above[k], above[k - step]));
      break;
  }
}

}  // namespace

bool png_unfilter_row(unsigned filter, const unsigned char* raw, const unsigned char* above, unsigned char* row,
                      std::size_t size, int pixel_bytes) noexcept {
  if (filter > paeth) return false;
  switch (pixel_bytes) {
    case 1: unfilter<1>(filter, raw, above, row, size); return true;
    case 2: unfilter<2>(filter, raw, above, row, size); return true;
    case 3: unfilter<3>(filter, raw, above, row, size); return true;
    case 4: unfilter<4>(filter, raw, above, row, size); return true;
    case 6: unfilter<6>(filter, raw, above, row, size); return true;
    case 8: unfilter<8>(filter, raw, above, row, size); return true;
    default: return false;
  }
}

}  // namespace tonvik::codec::detail
