// The scalar sampler: the readable reference for the LUT step. Every fast
// path must give exactly these floats.
//
// The arithmetic is single precision and its order is part of the result:
// the build forbids contraction into fused multiply-adds, so each line below
// rounds exactly where it is written.
#pragma once

#include <cmath>
#include <cstdint>

#include "lut.hpp"

namespace vireth::image::sampler {

// A strip already checked by check_shape(): data holds width*height*channel
// bytes, width == height*height, height >= 2.
struct strip_view {
  const std::uint8_t* data;
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t channel;
};

// Throws precondition_error unless the strip's fields describe its bytes.
void check_shape(const lut& table);

// Throws parse_error id 1 for a table of fewer than 2 points per axis.
void check_size(const lut& table);

inline float clamp01(float x) {
  float c = x > 0.0f ? x : 0.0f;
  return c > 1.0f ? 1.0f : c;
}

// Bilinear sample at (u, v) in [0, 1]^2. Texel coordinates are texel indices,
// not centres; the right and bottom neighbours clamp to the last column/row.
inline rgb_float fetch(const strip_view& s, float u, float v) {
  const float cu = clamp01(u);
  const float cv = clamp01(v);
  const float fx = static_cast<float>(s.width) * cu;
  const float fy = static_cast<float>(s.height) * cv;
  const float last_x = static_cast<float>(s.width - 1);
  const float last_y = static_cast<float>(s.height - 1);
  const float x1 = fx >= last_x ? last_x : fx + 1.0f;
  const float y1 = fy >= last_y ? last_y : fy + 1.0f;
  const float ax = fx - std::floor(fx);
  const float ay = fy - std::floor(fy);
  // At u == 1 (or v == 1) the truncated coordinate is one past the last
  // texel; clamping it keeps every read inside the strip. The sampler's own
  // calls never get there (their largest u is (N*N - 1) / (N*N)).
  std::uint32_t x0 = static_cast<std::uint32_t>(fx);
  std::uint32_t y0 = static_cast<std::uint32_t>(fy);
  if (x0 > s.width - 1) x0 = s.width - 1;
  if (y0 > s.height - 1) y0 = s.height - 1;
  const std::uint32_t x1i = static_cast<std::uint32_t>(x1);
  const std::uint32_t y1i = static_cast<std::uint32_t>(y1);

  const std::uint32_t o00 = (x0 + y0 * s.width) * s.channel;
  const std::uint32_t o10 = (x1i + y0 * s.width) * s.channel;
  const std::uint32_t o01 = (x0 + y1i * s.width) * s.channel;
  const std::uint32_t o11 = (x1i + y1i * s.width) * s.channel;
  const float one_minus_ax = 1.0f - ax;
  const float one_minus_ay = 1.0f - ay;

  rgb_float out;
  for (int k = 0; k < 3; ++k) {
    const float d00 = s.data[o00 + k];
    const float d10 = s.data[o10 + k];
    const float d01 = s.data[o01 + k];
    const float d11 = s.data[o11 + k];
    out[k] =
        d10 * ax * one_minus_ay + d00 * one_minus_ax * one_minus_ay + d01 * one_minus_ax * ay + d11 * ax * ay;
  }
  return out;
}

// The colour for normalised (red u, green v, blue w): two fetches on
// neighbouring blue tiles, blended by the fractional blue position.
inline rgb_float lookup(const strip_view& s, float u, float v, float w) {
  const float n = static_cast<float>(s.height);
  const float scale = (n - 1.0f) / n;
  float b = scale * w * n - 0.5f / n;
  // A blue position below the first slice would give tile -1, which throws
  // the red input away and blends towards tile 1; it belongs to tile 0.
  if (b < 0.0f) b = 0.0f;
  const float t = b - std::floor(b);
  const float base = b - t;
  float x = scale * u + base;
  if (!(x > 0.0f)) x = 0.0f;
  const float p0 = x / n;
  const float p1 = 1.0f / n + x / n;
  float q = scale * v;
  if (!(q > 0.0f)) q = 0.0f;
  const rgb_float c0 = fetch(s, p0, q);
  const rgb_float c1 = fetch(s, p1, q);
  if (t == 0.0f) return c0;
  if (t == 1.0f) return c1;
  rgb_float out;
  for (int k = 0; k < 3; ++k) out[k] = (c1[k] - c0[k]) * t + c0[k];
  return out;
}

inline strip_view view_of(const lut& table) {
  return {table.data.data(), table.width, table.height, table.channel};
}

// One pixel of the LUT step: bytes to [0, 1] by a true division, lookup,
// truncation back to bytes.
inline void map_pixel(const strip_view& s, std::uint8_t* px) {
  const rgb_float c = lookup(s, static_cast<float>(px[0]) / 255.0f, static_cast<float>(px[1]) / 255.0f,
                             static_cast<float>(px[2]) / 255.0f);
  px[0] = static_cast<std::uint8_t>(static_cast<std::int32_t>(c[0]));
  px[1] = static_cast<std::uint8_t>(static_cast<std::int32_t>(c[1]));
  px[2] = static_cast<std::uint8_t>(static_cast<std::int32_t>(c[2]));
}

}  // namespace vireth::image::sampler
