// A PNG's chunks walked in file order, for the strip reader: the IDAT data
// handed out a piece at a time, and every chunk around it judged by the
// whole-image decoder's rules, so that a file the walker passes is one that
// decoder reads the same way. Anything it might read otherwise (a chunk cut
// by the end of the file, CgBI, a second IHDR, a palette changed after the
// pixels began, tRNS after IDAT, an unknown critical chunk, a file without
// IEND) stops the walk with step::unsure. CRCs are not checked, as the
// decoder does not check them either.
//
// Ownership: borrows the image_bytes; a regular file is read ahead through
// one 64 KiB buffer, chunk headers and data alike. Failure contract: nothing throws but std::bad_alloc.
//
//   png_chunk_walker chunks(bytes);
//   png_layout layout;
//   if (!chunks.read_header(layout)) ...;
//   while (chunks.next_data() == png_chunk_walker::step::data) use(chunks.take(...));
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image_reader.hpp"

namespace tonvik::codec::detail {

// What IHDR declares.
struct png_layout {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int depth = 0;        // bits per sample: 1, 2, 4, 8 or 16
  int colour_type = 0;  // 0 grey, 2 RGB, 3 palette, 4 grey + alpha, 6 RGBA
  int samples = 0;      // per pixel; a palette index counts as one
  bool interlaced = false;
};

class png_chunk_walker {
 public:
  explicit png_chunk_walker(const image_bytes& bytes);

  // The signature and IHDR, first in the file (a CgBI chunk before it is
  // refused). False unless the decoder would take them as they are.
  bool read_header(png_layout& layout);

  enum class step {
    data,    // an IDAT chunk with data_left() > 0 bytes
    end,     // IEND, after IDAT data
    unsure,  // see above
  };
  // From the current chunk on to the next IDAT chunk holding data.
  step next_data();

  // Bytes of the current IDAT chunk not yet taken.
  std::uint32_t data_left() const noexcept { return data_left_; }
  // The next `got` bytes of it (at most `wanted`, at most 64 KiB, at least
  // one while data_left() > 0), valid until the next call of the walker;
  // null when the file cannot be read.
  const unsigned char* take(std::size_t wanted, std::size_t& got);
  // Passes over the rest of the current IDAT chunk without reading it.
  void skip_data() noexcept { data_left_ = 0; }

  // The palette as PLTE chunks have set it: 256 RGB entries, zero where no
  // chunk set one. Fixed once the IDAT data has begun.
  const unsigned char* palette() const noexcept { return palette_; }

 private:
  // `size` bytes (at most 64 KiB) at `offset`, valid until the next call;
  // null past the end of the file or when it cannot be read.
  const unsigned char* bytes_at(std::uint64_t offset, std::size_t size);

  image_bytes bytes_;
  std::vector<unsigned char> buffer_;  // a regular file read ahead: [buffered_at_, + buffered_)
  std::uint64_t buffered_at_ = 0;
  std::size_t buffered_ = 0;
  std::uint64_t next_chunk_ = 0;       // offset of the next chunk's length field
  std::uint64_t data_at_ = 0;          // offset of the current IDAT's next byte
  std::uint32_t data_left_ = 0;
  std::uint64_t data_total_ = 0;  // IDAT bytes so far: the decoder holds them in an int
  png_layout layout_;
  unsigned palette_entries_ = 0;
  bool seen_idat_ = false;  // any IDAT chunk, even an empty one
  bool seen_data_ = false;  // an IDAT chunk with data
  unsigned char palette_[256 * 3] = {};
};

}  // namespace tonvik::codec::detail
