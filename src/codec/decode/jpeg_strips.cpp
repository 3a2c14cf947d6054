// A JPEG read a strip at a time: the scans are decoded into the component
// planes on the first call, as the whole decode does, and each strip's rows
// are then resampled and colour-converted into one strip-sized buffer
// (stb_loader.hpp, open_jpeg_rows). A baseline 4:2:0 image holds 1.5 bytes a
// pixel in its planes instead of their 3 RGB bytes on top; the planes go
// once the last row is out.
#include <cstddef>
#include <memory>

#include "file_source.hpp"
#include "screen.hpp"
#include "stb_loader.hpp"
#include "strip_readers.hpp"

namespace tonvik::codec::detail {

namespace {

struct jpeg_rows_closer {
  void operator()(jpeg_rows* rows) const noexcept { close_jpeg_rows(rows); }
};

class jpeg_strip_reader final : public image_reader {
 public:
  jpeg_strip_reader(const image_bytes& bytes, const image_header& header)
      : bytes_(bytes), file_(bytes.fd, bytes.size) {
    width_ = static_cast<int>(header.width);
    height_ = static_cast<int>(header.height);
  }

  unsigned char* next_rows(int first, int count) override {
    if ((!started_ && !start()) || failure() != reader_failure::none) return nullptr;
    if (first != made_ || count <= 0 || count > height_ - first) {
      fail(reader_failure::unsure);  // not the order the reader was made for
      return nullptr;
    }
    const std::size_t size = static_cast<std::size_t>(count) * static_cast<std::size_t>(width_) * 3;
    if (size > strip_size_) {
      strip_.reset(new unsigned char[size + 1]);  // read_jpeg_rows writes a byte past the rows
      strip_size_ = size;
    }
    made_ += read_jpeg_rows(rows_.get(), strip_.get(), count);
    if (made_ == height_) rows_.reset();  // the planes are no longer needed
    return strip_.get();
  }

  // The decode read the file through its end-of-image marker before the
  // first row came out: nothing is left to read.
  bool finish() override { return (started_ || start()) && failure() == reader_failure::none; }

 private:
  // Decodes the planes. The outcome is the whole decode's when the loader
  // fails in the same way for certain, and when the sides are those of the
  // header this reader promised; anything else is left to the whole decode.
  bool start() {
    started_ = true;
    const byte_source source = source_of(bytes_, file_);
    int width = 0;
    int height = 0;
    bool certain = false;
    rows_.reset(open_jpeg_rows(source, width, height, certain));
    if (!rows_) {
      fail(certain ? reader_failure::undecodable : reader_failure::unsure);
    } else if (!fits_jpeg(width, height)) {
      fail(reader_failure::too_large);
    } else if (width != width_ || height != height_) {
      fail(reader_failure::unsure);
    }
    if (failure() != reader_failure::none) rows_.reset();
    return failure() == reader_failure::none;
  }

  image_bytes bytes_;
  regular_file_reader file_;
  std::unique_ptr<jpeg_rows, jpeg_rows_closer> rows_;
  bool started_ = false;
  int made_ = 0;  // rows lent so far
  std::unique_ptr<unsigned char[]> strip_;
  std::size_t strip_size_ = 0;
};

}  // namespace

std::unique_ptr<image_reader> jpeg_strips(const image_bytes& bytes, const image_header& header) {
  return std::make_unique<jpeg_strip_reader>(bytes, header);
}

}  // namespace tonvik::codec::detail
