// The LUT engine: a 3D colour lookup table held as an 8-bit image (the LUT
// strip), its cube-file reader and the engine's exceptions.
//
// Strip layout for a table of N points per axis: N*N texels wide, N high; the
// texel at column b*N + r, row g holds entry (r, g, b). Blue picks an N-wide
// tile, red the column inside it, green the row.
//
// Ownership: a `lut` owns its strip. Failure contract: malformed input and
// broken preconditions throw exceptions derived from detail::exception (and so
// from std::exception); nothing here ends the process.
//
//   vireth::image::lut table;
//   std::ifstream in("grade.cube");
//   vireth::image::parse_cube(table, in);       // throws detail::parse_error
//   vireth::image::require_samplable(table);    // throws detail::parse_error
//   vireth::image::map_pixels(table, rgb, pixel_count);
//   vireth::image::pixel_mapper mapper(table, pixel_count);  // or in pieces
//   mapper.map(rgb, first_piece);
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace vireth::image {

namespace detail {

// Base of the engine's exceptions. The text lives in a std::runtime_error
// member so that copying an exception never allocates and never throws.
class exception : public std::exception {
 public:
  const char* what() const noexcept override { return message.what(); }

  const std::int32_t id;

 protected:
  exception(std::int32_t id_, const std::string& text) : id(id_), message(text) {}

 private:
  std::runtime_error message;
};

// "[lut.exception." + kind + "." + id + "] "
std::string message_prefix(const std::string& kind, std::int32_t id);

// An error found while reading a LUT. `position` 0 means "no position given".
class parse_error : public exception {
 public:
  parse_error(std::int32_t id_, std::uint64_t position_, const std::string& detail);

  const std::uint64_t position;
};

// A broken precondition of the sampler or the reader. The message names the
// failing expression with its source file and line.
class precondition_error : public exception {
 public:
  precondition_error(const char* expression, const char* file, int line);
};

}  // namespace detail

// Texts of the errors the reader and the size check throw.
inline constexpr const char* count_mismatch_detail = "The lut element does not match the size of lut";
inline constexpr const char* size_too_small_detail = "The lut size must be at least 2";

using rgb_float = std::array<float, 3>;

class lut {
 public:
  std::string title;
  std::uint32_t width = 0;         // always height * height
  std::uint32_t height = 0;        // the LUT size N
  std::uint8_t channel = 3;        // bytes per texel: 3 (RGB) or 4 (RGBA)
  std::vector<std::uint8_t> data;  // width * height * channel bytes, row-major

  // Bilinear sample of the strip at (u, v) in [0, 1]^2, first three channels,
  // in byte units. Throws precondition_error outside the domain or on a strip
  // whose shape does not match its fields.
  rgb_float fetch(float u, float v) const;

  // The colour for normalised (red, green, blue) in [0, 1]^3, in byte units.
  // Throws precondition_error on inputs outside [0, 1] and on a table that
  // cannot be sampled (size below 2 or a strip that does not match its shape).
  rgb_float lookup(float u, float v, float w) const;
};

// Reads a cube file into `target`. Throws detail::parse_error id 0 when the
// number of values does not match LUT_3D_SIZE; `stream` must be good on entry.
void parse_cube(lut& target, std::istream& stream);

// Throws detail::parse_error id 1 ("The lut size must be at least 2") when the
// table is smaller than 2 points per axis, and precondition_error when its
// strip does not match its shape. Call it once before mapping an image.
void require_samplable(const lut& table);

// Maps `pixel_count` packed RGB pixels in place: each byte divided by 255,
// looked up, truncated back to a byte. Validates the table once, up front.
void map_pixels(const lut& table, std::uint8_t* rgb, std::size_t pixel_count);

namespace kernel {
struct kernel_tables;
}

// map_pixels for an image of `pixel_count` pixels that arrives in pieces (a
// strip of rows at a time): the table is validated and the kernel's tables
// are built once, here, so that each piece costs only its pixels. Pieces of
// any size give the bytes map_pixels gives for the whole.
//
// Keeps a reference to `table`, which must outlive the mapper. The
// constructor throws what require_samplable throws, and std::bad_alloc;
// map() throws nothing.
class pixel_mapper {
 public:
  pixel_mapper(const lut& table, std::size_t pixel_count);
  ~pixel_mapper();
  pixel_mapper(const pixel_mapper&) = delete;
  pixel_mapper& operator=(const pixel_mapper&) = delete;

  void map(std::uint8_t* rgb, std::size_t count) const noexcept;

 private:
  const lut& table_;
  std::unique_ptr<kernel::kernel_tables> tables_;  // null: the scalar sampler maps
};

}  // namespace vireth::image
