// The whole apply path on an image held in memory: screen and decode it, map
// it through a fixed LUT and encode the JPEG into memory.
// Every loader format is reachable; a crash, a sanitizer report, a hang or an
// out-of-memory is a finding, and so is a PNG the strip reader decodes to a
// success or pixels the whole decode does not give.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <utility>

#include "apply_pipeline.hpp"
#include "decode/stb_loader.hpp"
#include "decode/strip_readers.hpp"
#include "image_codec.hpp"
#include "lut.hpp"
#include "memory_sink.hpp"

namespace {

// Images above this many pixels are skipped here, before decoding, only to
// keep each run fast, and only when their file can hold them: a header over
// its file's bound still goes through the pipeline, which must refuse it at
// a cost the run's -rss_limit_mb and -timeout allow.
constexpr long long fuzz_pixel_budget = 1 << 18;

const vireth::image::lut& grade() {
  static const vireth::image::lut table = [] {
    // A 3-point table that swaps red and blue and lifts the shadows.
    std::ostringstream text;
    text << "LUT_3D_SIZE 3\n";
    for (int b = 0; b < 3; ++b)
      for (int g = 0; g < 3; ++g)
        for (int r = 0; r < 3; ++r) text << (0.1 + b * 0.45) << ' ' << g * 0.5 << ' ' << r * 0.5 << '\n';
    std::istringstream stream(text.str());
    vireth::image::lut parsed;
    vireth::image::parse_cube(parsed, stream);
    return parsed;
  }();
  return table;
}

// The PNG strip reader against the whole decode `whole`: a success of its
// own must be the same image.
void check_png_strips(const std::uint8_t* data, std::size_t size, const tonvik::codec::image_header& header,
                      const tonvik::codec::decoded& whole) {
  auto reader = tonvik::codec::detail::png_strips(tonvik::codec::image_bytes{-1, data, size}, header);
  if (!reader) return;
  const bool decoded = whole.status == tonvik::codec::decode_status::decoded;
  const std::size_t row = std::size_t(reader->width()) * 3;
  bool same = decoded;
  for (int y = 0; y < reader->height(); y += 16) {
    const int count = reader->height() - y < 16 ? reader->height() - y : 16;
    const unsigned char* rows = reader->next_rows(y, count);
    if (rows == nullptr) return;
    // Rows that differ are a finding only if the reader goes on to succeed.
    same = same && std::memcmp(rows, whole.image.pixels.get() + row * y, row * count) == 0;
  }
  if (reader->finish() && !same) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tonvik::codec::image_header header;
  bool screened = false;
  if (size <= 0x7fffffff) {
    tonvik::codec::detail::byte_source source;
    source.bytes = data;
    source.size = size;
    screened = tonvik::codec::detail::read_header(source, header) && tonvik::codec::file_can_hold(header, size) &&
               !tonvik::codec::exceeds_jpeg(header.width, header.height);
    if (screened && header.width * header.height > fuzz_pixel_budget) return 0;
  }
  tonvik::codec::decoded result = tonvik::codec::decode_memory(data, size);
  if (screened && header.format == tonvik::codec::image_format::png) check_png_strips(data, size, header, result);
  const auto reader = tonvik::codec::read_decoded(std::move(result));
  if (reader->failure() != tonvik::codec::reader_failure::none) return 0;
  const vireth::image::pixel_mapper mapper(grade(), std::size_t(reader->width()) * std::size_t(reader->height()));
  tonvik::bridge::graded_rows rows(mapper, *reader);
  tonvik_test::memory_sink sink;
  if (!tonvik::bridge::encode_output(rows, reader->width(), reader->height(), sink) || sink.out.empty())
    __builtin_trap();
  return 0;
}
