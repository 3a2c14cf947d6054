#include "map_kernel.hpp"

#include <cmath>
#include <cstring>

#include "sampler.hpp"

namespace vireth::image::kernel {

namespace {

// Everything below repeats the scalar sampler's operations one for one; only
// the place where they run changes.
struct table_shape {
  float n;
  float scale;
  float width;
  float height;
  float last_x;
  float last_y;
  std::uint32_t width_texels;
  std::uint32_t height_texels;
};

table_shape shape_of(const lut& table) {
  table_shape s{};
  s.n = static_cast<float>(table.height);
  s.scale = (s.n - 1.0f) / s.n;
  s.width = static_cast<float>(table.width);
  s.height = static_cast<float>(table.height);
  s.last_x = static_cast<float>(table.width - 1);
  s.last_y = static_cast<float>(table.height - 1);
  s.width_texels = table.width;
  s.height_texels = table.height;
  return s;
}

// std::floor for the texel coordinates below, which lie in [+0, 6400]:
// truncation is exact there, and needs no library call where the target has
// no rounding instruction (x86-64 before SSE4.1).
inline float floor_of_coordinate(float v) { return static_cast<float>(static_cast<std::int32_t>(v)); }

row_entry row_for(const table_shape& s, std::uint8_t green) {
  const float v = static_cast<float>(green) / 255.0f;
  float q = s.scale * v;
  if (!(q > 0.0f)) q = 0.0f;
  const float fy = s.height * sampler::clamp01(q);
  const float y1 = fy >= s.last_y ? s.last_y : fy + 1.0f;
  const float ay = fy - floor_of_coordinate(fy);
  std::uint32_t y0 = static_cast<std::uint32_t>(fy);
  if (y0 > s.height_texels - 1) y0 = s.height_texels - 1;
  const std::uint32_t y1i = static_cast<std::uint32_t>(y1);
  return {y0, y1i, ay, 1.0f - ay};
}

// The blue position b, clamped at 0, split into its tile (base) and t.
struct blue_split {
  float base;
  float t;
};

blue_split blue_for(const table_shape& s, std::uint8_t blue) {
  const float w = static_cast<float>(blue) / 255.0f;
  float b = s.scale * w * s.n - 0.5f / s.n;
  if (b < 0.0f) b = 0.0f;
  const float t = b - std::floor(b);
  return {b - t, t};
}

// One fetch's columns and horizontal weight, before they become offsets.
struct fetch_columns {
  column_pair x;
  float ax;
};

fetch_columns columns_for(const table_shape& s, float p) {
  const float fx = s.width * sampler::clamp01(p);
  const float x1 = fx >= s.last_x ? s.last_x : fx + 1.0f;
  fetch_columns c{};
  c.ax = fx - floor_of_coordinate(fx);
  c.x.x0 = static_cast<std::uint32_t>(fx);
  if (c.x.x0 > s.width_texels - 1) c.x.x0 = s.width_texels - 1;
  c.x.x1 = static_cast<std::uint32_t>(x1);
  return c;
}

// Both fetches of the entry for `red` on tile `base`.
std::array<fetch_columns, 2> column_for(const table_shape& s, float base, std::uint8_t red) {
  const float u = static_cast<float>(red) / 255.0f;
  float x = s.scale * u + base;
  if (!(x > 0.0f)) x = 0.0f;
  const float p0 = x / s.n;
  const float p1 = 1.0f / s.n + x / s.n;
  return {columns_for(s, p0), columns_for(s, p1)};
}

// Texel offset within a row of the copy where the pair (x0, x1) starts. x1
// stays inside the row for every size the kernels take (the tests go through
// all of them).
std::uint32_t pair_offset(const table_shape& s, column_pair x, std::vector<column_pair>& extra) {
  if (x.x1 == x.x0 + 1) return x.x0;
  if (x.x1 == x.x0 && x.x0 == s.width_texels - 1) return x.x0;  // the row's copied last texel follows
  std::size_t i = 0;
  while (i < extra.size() && (extra[i].x0 != x.x0 || extra[i].x1 != x.x1)) ++i;
  if (i == extra.size()) extra.push_back(x);
  return s.width_texels + 1 + 2 * static_cast<std::uint32_t>(i);
}

void fetch_plain(const float* texels, const column_entry& c, int k, const row_entry& row, float out[3]) {
  const float* d00 = texels + c.pair[k] + row.near;
  const float* d10 = d00 + texel_floats;
  const float* d01 = texels + c.pair[k] + row.far;
  const float* d11 = d01 + texel_floats;
  const float ax = c.ax[k];
  const float one_minus_ax = 1.0f - ax;
  const float ay = row.ay;
  const float one_minus_ay = row.one_minus_ay;
  for (int i = 0; i < 3; ++i) {
    out[i] = d10[i] * ax * one_minus_ay + d00[i] * one_minus_ax * one_minus_ay + d01[i] * one_minus_ax * ay +
             d11[i] * ax * ay;
  }
}

void run_plain(const kernel_tables& tables, std::uint8_t* rgb, std::size_t count) {
  const float* texels = tables.texels.data();
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t* px = rgb + 3 * i;
    const blue_entry& blue = tables.blues[px[2]];
    const column_entry& column = tables.columns[blue.columns + px[0]];
    const row_entry& row = tables.rows[px[1]];
    float c0[3];
    float c1[3];
    fetch_plain(texels, column, 0, row, c0);
    fetch_plain(texels, column, 1, row, c1);
    const float t = blue.t;
    for (int k = 0; k < 3; ++k) {
      float c;
      if (t == 0.0f) {
        c = c0[k];
      } else if (t == 1.0f) {
        c = c1[k];
      } else {
        c = (c1[k] - c0[k]) * t + c0[k];
      }
      px[k] = static_cast<std::uint8_t>(static_cast<std::int32_t>(c));
    }
  }
}

}  // namespace

bool fits_tables(const lut& table) { return std::uint64_t{table.width} * table.height <= max_table_texels; }

void build(const lut& table, kernel_tables& out) {
  const table_shape s = shape_of(table);

  // b grows with the blue byte, so equal tiles come in runs: one run, one set
  // of 256 column entries (at most N sets, however many blue bytes share one).
  std::array<float, 256> tiles;
  std::size_t tile_count = 0;
  out.every_t_below_one = true;
  for (int b = 0; b < 256; ++b) {
    const blue_split split = blue_for(s, static_cast<std::uint8_t>(b));
    if (tile_count == 0 || split.base != tiles[tile_count - 1]) tiles[tile_count++] = split.base;
    out.blues[b] = {static_cast<std::uint32_t>((tile_count - 1) * 256), split.t};
    if (!(split.t < 1.0f)) out.every_t_below_one = false;
  }

  // Column entries straight into place: pair offsets within a row do not
  // depend on how many extra pairs the row ends up with.
  out.extra_pairs.clear();
  out.columns.resize(tile_count * 256);
  column_entry* entry = out.columns.data();
  for (std::size_t i = 0; i < tile_count; ++i) {
    for (int r = 0; r < 256; ++r, ++entry) {
      const std::array<fetch_columns, 2> fetches = column_for(s, tiles[i], static_cast<std::uint8_t>(r));
      for (std::size_t k = 0; k < 2; ++k) {
        entry->ax[k] = fetches[k].ax;
        entry->pair[k] = pair_offset(s, fetches[k].x, out.extra_pairs) * texel_floats;
      }
    }
  }

  // Sized first, then written through a pointer: a texel is four stores.
  out.row_texels = table.width + 1 + 2 * static_cast<std::uint32_t>(out.extra_pairs.size());
  out.texels.resize(std::size_t{out.row_texels} * table.height * texel_floats);
  float* copied = out.texels.data();
  const std::uint8_t* source = table.data.data();
  for (std::size_t y = 0; y < table.height; ++y) {
    const std::uint8_t* row = source + y * table.width * table.channel;
    const auto copy = [&](std::size_t x) {
      const std::uint8_t* texel = row + x * table.channel;
      copied[0] = float(texel[0]);
      copied[1] = float(texel[1]);
      copied[2] = float(texel[2]);
      copied[3] = 0.0f;
      copied += texel_floats;
    };
    for (std::size_t x = 0; x < table.width; ++x) copy(x);
    copy(table.width - 1);
    for (const column_pair& p : out.extra_pairs) {
      copy(p.x0);
      copy(p.x1);
    }
  }

  const std::uint32_t row_floats = out.row_texels * texel_floats;
  for (int g = 0; g < 256; ++g) {
    row_entry r = row_for(s, static_cast<std::uint8_t>(g));
    r.near *= row_floats;
    r.far *= row_floats;
    out.rows[g] = r;
  }
}

void run(isa level, const kernel_tables& tables, std::uint8_t* rgb, std::size_t count) {
  if (!tables.every_t_below_one || !tonvik::cpu::runs(level)) level = isa::portable;
  switch (level) {
#if defined(__x86_64__)
    case isa::avx2: run_avx2(tables, rgb, count); return;
    case isa::sse2: run_sse2(tables, rgb, count); return;
#endif
    default: run_plain(tables, rgb, count); return;
  }
}

void map_with(isa level, const lut& table, std::uint8_t* rgb, std::size_t count) {
  if (count == 0) return;
  if (!fits_tables(table)) {
    const sampler::strip_view strip = sampler::view_of(table);
    for (std::size_t i = 0; i < count; ++i) sampler::map_pixel(strip, rgb + 3 * i);
    return;
  }
  kernel_tables tables;
  build(table, tables);
  run(level, tables, rgb, count);
}

}  // namespace vireth::image::kernel
