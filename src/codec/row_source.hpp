// row_source: where an encoder's pixels come from, a strip of rows at a time,
// top to bottom. Implementations decide where a strip is made: a whole
// decoded image (image_rows), a decoder that hands rows as it finishes them,
// a step that changes each strip just before it is coded.
//
// next_rows(first, count) lends rows [first, first + count): packed RGB,
// 3 x width bytes per row, rows one after another, valid until the next
// call. The encoder asks for every row once, in order (each `first` is the
// previous first + count), in strips of its own height, the last one shorter
// when the height is not a multiple of it; it repeats that strip's last row
// itself where its blocks run past the bottom.
//
// Failure contract: null when the rows cannot be had (a decoder that finds
// damage); the encoder then stops and reports an incomplete file. Whoever
// knows why keeps the reason. Nothing here throws.
//
//   image_rows rows(rgb, width);
//   bool complete = write_jpeg(sink, rows, width, height, quality);
#pragma once

#include <cstddef>

namespace tonvik::codec {

class row_source {
 public:
  virtual ~row_source() = default;

  virtual const unsigned char* next_rows(int first, int count) = 0;
};

// The rows of a whole packed RGB image that the caller keeps alive.
class image_rows final : public row_source {
 public:
  image_rows(const unsigned char* rgb, int width) : rgb_(rgb), width_(width) {}

  const unsigned char* next_rows(int first, int) override {
    return rgb_ + static_cast<std::size_t>(first) * static_cast<std::size_t>(width_) * 3;
  }

 private:
  const unsigned char* rgb_;
  int width_;
};

}  // namespace tonvik::codec
