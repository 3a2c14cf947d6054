#include "cube_table.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

namespace vireth::image::cube {

namespace {

// The strip is size^2 texels wide and its width is a 32-bit field, so 65535
// is the largest size whose shape can be stored at all. Below that bound
// 3 * size^3 fits easily in 64 bits, so no size passes the count check by
// wrap-around.
constexpr std::uint64_t largest_size = 65535;

bool count_matches(std::uint32_t size, std::size_t value_count) {
  if (size > largest_size) return false;
  const std::uint64_t n = size;
  const std::uint64_t expected = 3 * n * n * n;
  if (expected > std::numeric_limits<std::size_t>::max()) return false;
  return expected == value_count;
}

}  // namespace

void store_table(lut& target, std::uint32_t size, const std::vector<float>& entries) {
  if (!count_matches(size, entries.size())) throw detail::parse_error(0, 0, count_mismatch_detail);

  const std::size_t n = size;
  std::vector<std::uint8_t> strip(3 * n * n * n, 0);
  // The strip is written in ascending memory order (green rows, blue tiles,
  // red columns); the entry list, red fastest, is read with strides.
  std::uint8_t* out = strip.data();
  for (std::size_t g = 0; g < n; ++g) {
    for (std::size_t b = 0; b < n; ++b) {
      for (std::size_t r = 0; r < n; ++r) {
        const float* entry = entries.data() + 3 * (r + n * g + n * n * b);
        *out++ = to_byte(entry[0]);
        *out++ = to_byte(entry[1]);
        *out++ = to_byte(entry[2]);
      }
    }
  }
  target.height = size;
  target.width = size * size;
  target.channel = 3;
  target.data = std::move(strip);
}

}  // namespace vireth::image::cube
