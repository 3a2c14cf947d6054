#include "image_reader.hpp"

#include <climits>
#include <utility>

#include "decode/file_source.hpp"
#include "decode/screen.hpp"
#include "decode/strip_readers.hpp"

namespace tonvik::codec {

namespace {

// The whole decode, lent a strip at a time straight out of the image.
class whole_image_reader final : public image_reader {
 public:
  explicit whole_image_reader(decoded result) : image_(std::move(result.image)) {
    switch (result.status) {
      case decode_status::decoded:
        width_ = image_.width;
        height_ = image_.height;
        break;
      case decode_status::too_large: fail(reader_failure::too_large); break;
      case decode_status::undecodable: fail(reader_failure::undecodable); break;
    }
  }

  unsigned char* next_rows(int first, int) override {
    if (failure() != reader_failure::none) return nullptr;
    return image_.pixels.get() + static_cast<std::size_t>(first) * static_cast<std::size_t>(width_) * 3;
  }

  bool finish() override { return failure() == reader_failure::none; }

 private:
  rgb_image image_;
};

// A PNG whose rows inflate to at most this many bytes is decoded whole: its
// buffers stay a few megabytes, and the whole decode's inflater (libdeflate,
// decode/png_inflate.hpp) runs about 1.4 x as fast as the streaming one, which
// shows in the calls per second of small images.
constexpr std::int64_t max_whole_png_bytes = std::int64_t{4} << 20;

bool decoded_whole(const image_header& header) {
  return header.format == image_format::png &&
         header.width * header.height * header.bits_per_pixel / 8 <= max_whole_png_bytes;
}

}  // namespace

namespace detail {

byte_source source_of(const image_bytes& bytes, regular_file_reader& file) {
  byte_source source;
  if (bytes.memory != nullptr) {
    source.bytes = bytes.memory;
    source.size = static_cast<std::size_t>(bytes.size);
  } else {
    source.io = file.callbacks();
    source.user = &file;
  }
  return source;
}

}  // namespace detail

struct image_file::state {
  opened_image file;
  image_header header;

  image_bytes bytes() const noexcept {
    image_bytes view;
    view.size = file.status == open_status::streamed ? file.bytes.size() : file.size;
    if (file.status == open_status::streamed) {
      view.memory = file.bytes.data();
    } else {
      view.fd = file.fd;
    }
    return view;
  }
};

image_file::image_file() = default;
image_file::image_file(image_file&&) noexcept = default;
image_file::~image_file() = default;

int image_file::width() const noexcept { return state_ ? static_cast<int>(state_->header.width) : 0; }
int image_file::height() const noexcept { return state_ ? static_cast<int>(state_->header.height) : 0; }

std::unique_ptr<image_reader> image_file::whole_image() const {
  if (!state_ || status_ != decode_status::decoded) return std::make_unique<whole_image_reader>(decoded{});
  const image_bytes view = state_->bytes();
  regular_file_reader file(view.fd, view.size);
  return std::make_unique<whole_image_reader>(
      detail::decode_screened(detail::source_of(view, file), state_->header));
}

std::unique_ptr<image_reader> image_file::strips() const {
  std::unique_ptr<image_reader> lean;
  if (state_ && status_ == decode_status::decoded && !decoded_whole(state_->header)) {
    const image_bytes view = state_->bytes();
    switch (state_->header.format) {
      case image_format::png: lean = detail::png_strips(view, state_->header); break;
      case image_format::jpeg: lean = detail::jpeg_strips(view, state_->header); break;
      default: break;
    }
  }
  return lean ? std::move(lean) : whole_image();
}

std::unique_ptr<image_reader> read_decoded(decoded result) {
  return std::make_unique<whole_image_reader>(std::move(result));
}

image_file open_image_file(const std::string& path) {
  image_file result;
  auto state = std::unique_ptr<image_file::state>(new image_file::state{open_image(path), image_header{}});
  if (state->file.status == open_status::failed) return result;
  const image_bytes view = state->bytes();
  if (view.memory != nullptr && (view.size == 0 || view.size > static_cast<std::uint64_t>(INT_MAX)))
    return result;
  regular_file_reader file(view.fd, view.size);
  result.status_ = detail::screen(detail::source_of(view, file), view.size, state->header);
  result.state_ = std::move(state);
  return result;
}

}  // namespace tonvik::codec
