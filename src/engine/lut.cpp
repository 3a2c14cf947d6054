#include <cstddef>
#include <cstdint>

#include "lut.hpp"
#include "map_kernel.hpp"
#include "precondition.hpp"
#include "sampler.hpp"

namespace vireth::image {

namespace {

// Below this many pixels the tables (256 rows, 256 columns per blue tile and
// a float copy of the strip) cost more than they save.
constexpr std::size_t small_image_pixels = 4096;

}  // namespace

namespace sampler {

void check_shape(const lut& table) {
  VIRETH_REQUIRE(!table.data.empty());
  VIRETH_REQUIRE(table.channel == 3 || table.channel == 4);
  // In 64 bits: a wrapped product must not pass for a matching shape.
  VIRETH_REQUIRE(std::uint64_t{table.width} == std::uint64_t{table.height} * table.height);
  VIRETH_REQUIRE(table.data.size() == std::uint64_t{table.width} * table.height * table.channel);
}

void check_size(const lut& table) {
  if (table.height < 2) throw detail::parse_error(1, 0, size_too_small_detail);
}

}  // namespace sampler

rgb_float lut::fetch(float u, float v) const {
  VIRETH_REQUIRE(u >= 0.0f && u <= 1.0f);
  VIRETH_REQUIRE(v >= 0.0f && v <= 1.0f);
  sampler::check_shape(*this);
  return sampler::fetch(sampler::view_of(*this), u, v);
}

rgb_float lut::lookup(float u, float v, float w) const {
  VIRETH_REQUIRE(u >= 0.0f && u <= 1.0f);
  VIRETH_REQUIRE(v >= 0.0f && v <= 1.0f);
  VIRETH_REQUIRE(w >= 0.0f && w <= 1.0f);
  sampler::check_shape(*this);
  sampler::check_size(*this);
  return sampler::lookup(sampler::view_of(*this), u, v, w);
}

void require_samplable(const lut& table) {
  sampler::check_size(table);
  sampler::check_shape(table);
}

void map_pixels(const lut& table, std::uint8_t* rgb, std::size_t pixel_count) {
  pixel_mapper(table, pixel_count).map(rgb, pixel_count);
}

pixel_mapper::pixel_mapper(const lut& table, std::size_t pixel_count) : table_(table) {
  // The shape and size are facts of the table, checked once here rather than
  // per pixel; byte inputs divided by 255 are always inside [0, 1].
  require_samplable(table);
  // The fast kernel gives the scalar sampler's bytes; it only pays for its
  // per-image tables once an image is larger than they are.
  if (pixel_count < small_image_pixels || !kernel::fits_tables(table)) return;
  tables_ = std::make_unique<kernel::kernel_tables>();
  kernel::build(table, *tables_);
}

pixel_mapper::~pixel_mapper() = default;

void pixel_mapper::map(std::uint8_t* rgb, std::size_t count) const noexcept {
  if (tables_) {
    kernel::run(tonvik::cpu::chosen(), *tables_, rgb, count);
    return;
  }
  const sampler::strip_view strip = sampler::view_of(table_);
  for (std::size_t i = 0; i < count; ++i) sampler::map_pixel(strip, rgb + 3 * i);
}

}  // namespace vireth::image
