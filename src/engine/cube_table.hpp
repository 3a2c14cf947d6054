// What every cube reader shares once the text is read: the largest table it
// accepts, the entry list (three bytes per entry) and the conversion of that
// list into the 8-bit LUT strip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "lut.hpp"

namespace vireth::image::cube {

// 256 points per axis is the largest table read: 2^24 entries, 48 MiB of
// entry bytes and as much again for the strip. Grading tables use 17 to 65
// points, and the 8-bit inputs of an image never tell more than 256 levels
// apart. The bound also ends an endless or hostile stream (a device, random
// bytes) after 2^24 data lines instead of letting the list grow without end.
inline constexpr std::uint32_t largest_size = 256;
inline constexpr std::size_t largest_entry_count = std::size_t{largest_size} * largest_size * largest_size;

// The longest line read, 1 MiB without its line end: a data line of a real
// table is a few dozen bytes. A longer line (a device without line ends, such
// as /dev/zero) ends the read with parse_error id 0, the line never held whole.
inline constexpr std::size_t longest_line = std::size_t{1} << 20;

// The most lines read, of every kind: four per entry of the largest table
// (2^26), room for a comment or a blank line beside every data line. A stream
// of comments or blank lines alone (`yes '#'` behind a FIFO) ends with
// parse_error id 0 after them, as endless data does after 2^24 data lines.
inline constexpr std::size_t most_lines = 4 * largest_entry_count;

// Clamp to [0, 1], scale by 255 in single precision, truncate: 0.5 -> 127,
// 0.999 -> 254. A NaN (no cube reader produces one) becomes 0.
inline std::uint8_t to_byte(float f) {
  float v = f > 0.0f ? f : 0.0f;
  if (v > 1.0f) v = 1.0f;
  return static_cast<std::uint8_t>(v * 255.0f);
}

// The data lines read so far, in file order. Each component becomes its strip
// byte as it is appended: the strip needs nothing else of the float, and an
// entry costs 3 bytes, no more than the shortest data line of the text.
// Room is counted in whole entries, so an append checks it once.
class entry_list {
 public:
  // Makes room for a table of `size` points per axis in one allocation, so a
  // size line before the data spares every regrowth. Allocated, not touched:
  // a size line that lies costs address space only.
  void expect(std::uint32_t size);

  // Throws parse_error id 0 (count mismatch) once the list would pass the
  // entries of the largest table: no size it may declare can match any more.
  void append(float red, float green, float blue) {
    if (used_ == capacity_) grow();
    std::uint8_t* const entry = bytes_.get() + used_;
    entry[0] = to_byte(red);
    entry[1] = to_byte(green);
    entry[2] = to_byte(blue);
    used_ += 3;
  }

  std::size_t entry_count() const noexcept { return used_ / 3; }
  const std::uint8_t* bytes() const noexcept { return bytes_.get(); }

 private:
  void grow();
  void move_to(std::size_t capacity);

  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t used_ = 0;
  std::size_t capacity_ = 0;  // a multiple of 3
};

// Checks that `entries` holds size^3 entries (red fastest, blue slowest) of
// a size no larger than largest_size and, only then, replaces the strip of
// `target` with them. Throws parse_error id 0 on a mismatch, leaving the strip
// and its shape untouched.
void store_table(lut& target, std::uint32_t size, const entry_list& entries);

}  // namespace vireth::image::cube
