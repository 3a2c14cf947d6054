// What every cube reader shares once the text is read: the count check and
// the conversion of the float table into the 8-bit LUT strip.
#pragma once

#include <cstdint>
#include <vector>

#include "lut.hpp"

namespace vireth::image::cube {

// Clamp to [0, 1], scale by 255 in single precision, truncate: 0.5 -> 127,
// 0.999 -> 254. A NaN (no cube reader produces one) becomes 0.
inline std::uint8_t to_byte(float f) {
  float v = f > 0.0f ? f : 0.0f;
  if (v > 1.0f) v = 1.0f;
  return static_cast<std::uint8_t>(v * 255.0f);
}

// Checks that `entries` holds 3 * size^3 floats (red fastest, blue slowest)
// and, only then, replaces the strip of `target` with them. Throws
// parse_error id 0 on a mismatch, leaving the strip and its shape untouched.
void store_table(lut& target, std::uint32_t size, const std::vector<float>& entries);

}  // namespace vireth::image::cube
