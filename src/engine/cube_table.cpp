#include "cube_table.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace vireth::image::cube {

namespace {

constexpr std::size_t largest_byte_count = 3 * largest_entry_count;
// The first allocation: a 16-point table, a few kilobytes.
constexpr std::size_t first_capacity = 3 * 16 * 16 * 16;

std::size_t byte_count(std::uint32_t size) {
  const std::size_t n = size;
  return 3 * n * n * n;
}

bool count_matches(std::uint32_t size, std::size_t entry_count) {
  // Above the largest size the product is never formed: no wrap-around can
  // make a huge declared size look right.
  if (size > largest_size) return false;
  const std::size_t n = size;
  return n * n * n == entry_count;
}

}  // namespace

void entry_list::expect(std::uint32_t size) {
  if (size > largest_size) return;
  const std::size_t wanted = byte_count(size);
  if (wanted > capacity_) move_to(wanted);
}

void entry_list::grow() {
  if (capacity_ >= largest_byte_count) throw detail::parse_error(0, 0, count_mismatch_detail);
  // Doubling, but never past the largest table's bytes.
  move_to(std::min(std::max(first_capacity, 2 * capacity_), largest_byte_count));
}

void entry_list::move_to(std::size_t capacity) {
  // Default-initialised: the new room is not touched until entries fill it.
  std::unique_ptr<std::uint8_t[]> moved(new std::uint8_t[capacity]);
  if (used_ != 0) std::memcpy(moved.get(), bytes_.get(), used_);
  bytes_ = std::move(moved);
  capacity_ = capacity;
}

void store_table(lut& target, std::uint32_t size, const entry_list& entries) {
  if (!count_matches(size, entries.entry_count())) throw detail::parse_error(0, 0, count_mismatch_detail);

  const std::size_t n = size;
  std::vector<std::uint8_t> strip(3 * n * n * n);
  // The strip is written in ascending memory order (green rows, blue tiles,
  // red columns); the entry list, red fastest, is read with strides.
  const std::uint8_t* const in = entries.bytes();
  std::uint8_t* out = strip.data();
  for (std::size_t g = 0; g < n; ++g) {
    for (std::size_t b = 0; b < n; ++b) {
      const std::uint8_t* row = in + 3 * (n * g + n * n * b);
      for (std::size_t r = 0; r < 3 * n; ++r) *out++ = row[r];
    }
  }
  target.height = size;
  target.width = size * size;
  target.channel = 3;
  target.data = std::move(strip);
}

}  // namespace vireth::image::cube
