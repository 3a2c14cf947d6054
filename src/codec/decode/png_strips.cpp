// The PNG strip reader: a non-interlaced PNG decoded as it is read. IDAT
// data is inflated as it arrives, each row unfiltered as it comes out
// (png_unfilter.hpp) and turned into 8-bit RGB as the whole-image decoder
// turns it (grey replicated, alpha dropped, 16-bit samples by their high
// byte, low depths of grey scaled to 0..255, palette indices looked up).
//
// It holds a 64 KiB read buffer, the inflate's window, a staging buffer of
// inflated bytes (64 KiB plus four rows), two unfiltered rows and the strip
// it lends: never the compressed data, the inflated data or the image whole.
//
// Layouts streamed: depth 8 of every colour type, 16 of grey, RGB and their
// alpha forms, 1, 2 and 4 of grey and palette. Interlaced files and the
// other layouts go to the whole decode (null). Where the whole decode might
// differ, the reader stops with unsure: its inflate must end exactly at the
// last row, with at least two bytes of IDAT data after the final block (the
// fast inflate's own condition, png_inflate.hpp), and the chunks must pass
// png_chunk_walker through to IEND.
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "inflate_stream.hpp"
#include "png_chunks.hpp"
#include "png_inflate.hpp"
#include "png_unfilter.hpp"
#include "strip_readers.hpp"

namespace tonvik::codec::detail {

namespace {

// The whole decoder reads the bytes after the deflate data's final block
// its own way when fewer than this many follow it (png_inflate.cpp).
constexpr std::uint64_t min_bytes_after_data = 2;

// Inflated bytes are staged in at least this much, so each inflate call
// produces many rows of a narrow image.
constexpr std::size_t staging_size = 64 * 1024;

bool layout_streams(const png_layout& layout) {
  if (layout.interlaced) return false;
  switch (layout.depth) {
    case 8: return true;
    case 16: return layout.colour_type != 3;
    default: return layout.colour_type == 0 || layout.colour_type == 3;  // 1, 2, 4
  }
}

class png_strip_reader final : public image_reader {
 public:
  // `chunks` has read the header, `layout`.
  png_strip_reader(png_chunk_walker&& chunks, const png_layout& layout)
      : chunks_(std::move(chunks)),
        layout_(layout),
        row_bytes_((std::size_t{layout.width} * layout.samples * layout.depth + 7) / 8),
        pixel_bytes_(std::max(1, layout.samples * layout.depth / 8)),
        staging_(staging_size + 4 * (row_bytes_ + 1)),
        above_(row_bytes_, 0),  // the first row's filters see zeros above
        row_(row_bytes_) {
    width_ = static_cast<int>(layout.width);
    height_ = static_cast<int>(layout.height);
    if (layout.depth < 8) samples_.resize(layout.width);
  }

  unsigned char* next_rows(int first, int count) override {
    if (failure() != reader_failure::none) return nullptr;
    if (first != next_row_ || count <= 0 || count > height_ - first) return give_up(), nullptr;
    const std::size_t rgb_row = std::size_t{layout_.width} * 3;
    if (strip_.size() < rgb_row * static_cast<std::size_t>(count)) strip_.resize(rgb_row * count);
    for (int r = 0; r < count; ++r) {
      if (!fill(row_bytes_ + 1)) return nullptr;
      const unsigned char* raw = staging_.data() + begin_;
      begin_ += row_bytes_ + 1;
      if (!png_unfilter_row(raw[0], raw + 1, above_.data(), row_.data(), row_bytes_, pixel_bytes_))
        return give_up(), nullptr;
      to_rgb(row_.data(), strip_.data() + rgb_row * r);
      row_.swap(above_);
    }
    next_row_ += count;
    return strip_.data();
  }

  bool finish() override {
    if (failure() != reader_failure::none) return false;
    // Every row, and not one inflated byte more.
    if (next_row_ != height_ || begin_ != end_) return give_up();
    unsigned char spare[64];
    while (!ended_) {
      if (input_left_ == 0 && !next_input()) return give_up();
      std::size_t used = 0, made = 0;
      const auto state = stream_.inflate(input_, input_left_, spare, sizeof spare, used, made);
      input_ += used;
      input_left_ -= used;
      if (state == inflate_stream::result::bad || made != 0) return give_up();
      if (state == inflate_stream::result::ended) ended_ = true;
      else if (used == 0) return give_up();
    }
    // On through the chunks to IEND, counting the IDAT bytes after the
    // final block without reading them.
    std::uint64_t after = input_left_ + std::uint64_t{chunks_.data_left()};
    for (;;) {
      chunks_.skip_data();
      const auto step = chunks_.next_data();
      if (step == png_chunk_walker::step::end) break;
      if (step == png_chunk_walker::step::unsure) return give_up();
      after += chunks_.data_left();
    }
    return after >= min_bytes_after_data || give_up();
  }

 private:
  bool give_up() noexcept {
    fail(reader_failure::unsure);
    return false;
  }

  // input_ points at more of the IDAT data: false when there is none, or
  // when the chunks stop the walk.
  bool next_input() {
    if (chunks_.data_left() == 0 && chunks_.next_data() != png_chunk_walker::step::data) return false;
    input_ = chunks_.take(chunks_.data_left(), input_left_);
    return input_ != nullptr;
  }

  // Reads the zlib header, which may span IDAT chunks of one byte.
  bool zlib_header() {
    unsigned char header[2];
    for (unsigned char& byte : header) {
      if (input_left_ == 0 && !next_input()) return false;
      byte = *input_++;
      --input_left_;
    }
    return png_zlib_header_accepted(header[0], header[1]);
  }

  // At least `need` inflated bytes staged from begin_ on.
  bool fill(std::size_t need) {
    if (end_ - begin_ >= need) return true;
    if (!header_read_) {
      if (!zlib_header()) return give_up();
      header_read_ = true;
    }
    std::memmove(staging_.data(), staging_.data() + begin_, end_ - begin_);  // less than one row
    end_ -= begin_;
    begin_ = 0;
    while (end_ < need) {
      if (ended_) return give_up();  // the data ends before the rows do
      if (input_left_ == 0 && !next_input()) return give_up();
      std::size_t used = 0, made = 0;
      const auto state =
          stream_.inflate(input_, input_left_, staging_.data() + end_, staging_.size() - end_, used, made);
      input_ += used;
      input_left_ -= used;
      end_ += made;
      if (state == inflate_stream::result::bad) return give_up();
      if (state == inflate_stream::result::ended) ended_ = true;
      else if (used == 0 && made == 0) return give_up();  // no progress with input and room: never loop
    }
    return true;
  }

  // One unfiltered row as packed RGB, as the whole decoder converts it.
  void to_rgb(const unsigned char* row, unsigned char* rgb) {
    const std::size_t width = layout_.width;
    if (layout_.depth < 8) {
      // Samples of 1, 2 or 4 bits, first at the top of each byte; grey
      // scaled by 255 / (2^depth - 1), palette indices as they are.
      static constexpr unsigned char grey_scale[5] = {0, 0xff, 0x55, 0, 0x11};
      const unsigned depth = static_cast<unsigned>(layout_.depth);
      const unsigned scale = layout_.colour_type == 0 ? grey_scale[depth] : 1;
      const unsigned mask = (1u << depth) - 1;
      const unsigned per_byte = 8 / depth;
      for (std::size_t i = 0; i < width; ++i) {
        const unsigned shift = 8 - depth * (1 + static_cast<unsigned>(i % per_byte));
        samples_[i] = static_cast<unsigned char>(scale * ((row[i / per_byte] >> shift) & mask));
      }
      row = samples_.data();
    }
    // A 16-bit sample's high byte comes first.
    const std::size_t step = layout_.depth == 16 ? 2 : 1;
    const std::size_t pixel = step * static_cast<std::size_t>(layout_.samples);
    switch (layout_.colour_type) {
      case 0:
      case 4:
        for (std::size_t i = 0; i < width; ++i, rgb += 3) rgb[0] = rgb[1] = rgb[2] = row[i * pixel];
        break;
      case 2:
        if (step == 1) {
          std::memcpy(rgb, row, width * 3);
          break;
        }
        [[fallthrough]];
      case 6:
        for (std::size_t i = 0; i < width; ++i, rgb += 3) {
          rgb[0] = row[i * pixel];
          rgb[1] = row[i * pixel + step];
          rgb[2] = row[i * pixel + 2 * step];
        }
        break;
      case 3: {
        const unsigned char* palette = chunks_.palette();
        for (std::size_t i = 0; i < width; ++i, rgb += 3) std::memcpy(rgb, palette + 3 * row[i], 3);
        break;
      }
      default: break;  // read_header admits no other
    }
  }

  png_chunk_walker chunks_;
  png_layout layout_;
  inflate_stream stream_;
  const std::size_t row_bytes_;  // one row's samples, without its filter byte
  const int pixel_bytes_;        // the filters' step
  std::vector<unsigned char> staging_;
  std::size_t begin_ = 0;  // staged inflated bytes not yet unfiltered: [begin_, end_)
  std::size_t end_ = 0;
  std::vector<unsigned char> above_;
  std::vector<unsigned char> row_;
  std::vector<unsigned char> samples_;  // a low-depth row, a byte per sample
  std::vector<unsigned char> strip_;
  const unsigned char* input_ = nullptr;  // IDAT bytes taken and not yet inflated
  std::size_t input_left_ = 0;
  bool header_read_ = false;
  bool ended_ = false;  // the final deflate block is complete
  int next_row_ = 0;
};

}  // namespace

std::unique_ptr<image_reader> png_strips(const image_bytes& bytes, const image_header& header) {
  png_chunk_walker chunks(bytes);
  png_layout layout;
  if (!chunks.read_header(layout) || !layout_streams(layout)) return nullptr;
  if (layout.width != header.width || layout.height != header.height) return nullptr;  // the file changed
  if (png_raw_size(layout.width, layout.height, layout.samples, layout.depth, false) == 0) return nullptr;
  return std::make_unique<png_strip_reader>(std::move(chunks), layout);
}

}  // namespace tonvik::codec::detail
