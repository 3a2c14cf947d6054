#include "png_inflate.hpp"

#include <memory>

#include <libdeflate.h>

#include "stb_hooks.hpp"
#include "zeroed_alloc.hpp"

namespace tonvik::codec {

namespace {

thread_local bool stb_inflate_forced = false;

struct decompressor_deleter {
  void operator()(libdeflate_decompressor* d) const noexcept { libdeflate_free_decompressor(d); }
};

// stb's refusal of a stream that ends right after its header, and its
// checks on the two header bytes. A header stb would refuse goes back to
// stb, which then fails with its own reason.
bool zlib_header_accepted(const unsigned char* stream, std::size_t size) {
  return size > 2 && png_zlib_header_accepted(stream[0], stream[1]);
}

// stb refuses to decode a code when fewer than 16 bits of input are left,
// and beyond the end it reads zero bits where libdeflate soon stops. Neither
// matters while the deflate data is followed by two more bytes (a stream
// that ends normally has four: the checksum); a cut stream goes to stb.
constexpr std::size_t min_bytes_after_data = 2;

}  // namespace

bool png_zlib_header_accepted(unsigned cmf, unsigned flg) noexcept {
  const bool check_bits = (cmf * 256 + flg) % 31 == 0;
  const bool preset_dictionary = (flg & 32) != 0;
  const bool deflate = (cmf & 15) == 8;
  return check_bits && !preset_dictionary && deflate;
}

std::uint64_t png_raw_size(std::uint32_t width, std::uint32_t height, int channels, int depth,
                           bool interlaced) noexcept {
  // Adam7: the first column, first row and spacing of each pass.
  static constexpr std::uint32_t x_origin[7] = {0, 4, 0, 2, 0, 1, 0};
  static constexpr std::uint32_t y_origin[7] = {0, 0, 4, 0, 2, 0, 1};
  static constexpr std::uint32_t x_step[7] = {8, 8, 4, 4, 2, 2, 1};
  static constexpr std::uint32_t y_step[7] = {8, 8, 8, 4, 4, 2, 2};
  const auto pass_size = [&](std::uint64_t columns, std::uint64_t rows) -> std::uint64_t {
    if (columns == 0 || rows == 0) return 0;
    const std::uint64_t row_bytes = (std::uint64_t(channels) * columns * std::uint64_t(depth) + 7) / 8;
    return (row_bytes + 1) * rows;  // + the filter-type byte of each row
  };
  constexpr std::uint64_t limit = std::uint64_t{1} << 31;
  if (channels <= 0 || depth <= 0) return 0;

  std::uint64_t total = 0;
  if (!interlaced) {
    total = pass_size(width, height);
  } else {
    for (int p = 0; p < 7; ++p) {
      // A pass is empty when the image is narrower or shorter than its origin.
      const std::uint64_t columns = width > x_origin[p] ? (width - x_origin[p] + x_step[p] - 1) / x_step[p] : 0;
      const std::uint64_t rows = height > y_origin[p] ? (height - y_origin[p] + y_step[p] - 1) / y_step[p] : 0;
      total += pass_size(columns, rows);
    }
  }
  return total < limit ? total : 0;
}

bool inflate_png_exact(const unsigned char* stream, std::size_t size, bool zlib_header, unsigned char* out,
                       std::size_t out_size) noexcept {
  if (stream == nullptr || out == nullptr || out_size == 0) return false;
  if (zlib_header) {
    if (!zlib_header_accepted(stream, size)) return false;
    // The raw decompressor after the header: the Adler-32 trailer, and any
    // bytes behind it, stay unread, as they do for stb.
    stream += 2;
    size -= 2;
  }
  // One decompressor per call: a few kilobytes, nothing shared between
  // threads, nothing left behind.
  const std::unique_ptr<libdeflate_decompressor, decompressor_deleter> decompressor(
      libdeflate_alloc_decompressor());
  if (!decompressor) return false;
  // No actual_out_nbytes_ret: fewer bytes than out_size is a failure.
  std::size_t used = 0;
  const libdeflate_result result =
      libdeflate_deflate_decompress_ex(decompressor.get(), stream, size, out, out_size, &used, nullptr);
  switch (result) {
    case LIBDEFLATE_SUCCESS: return size - used >= min_bytes_after_data;
    case LIBDEFLATE_BAD_DATA: return false;
    case LIBDEFLATE_SHORT_OUTPUT: return false;
    case LIBDEFLATE_INSUFFICIENT_SPACE: return false;  // stb accepts data after the image
  }
  return false;  // a result this version of the library does not know
}

stb_inflate_only::stb_inflate_only() noexcept : previous_(stb_inflate_forced) { stb_inflate_forced = true; }

stb_inflate_only::~stb_inflate_only() { stb_inflate_forced = previous_; }

bool fast_inflate_enabled() noexcept { return !stb_inflate_forced; }

}  // namespace tonvik::codec

// The hook the patched PNG reader calls (stb_hooks.hpp): inflate_png_exact
// into a block of exactly png_raw_size bytes from the loader's allocator
// (zeroed_alloc.hpp). A refused stream frees its exact block before stb's
// inflate starts, so the peak stays stb's.
unsigned char* tonvik_png_inflate(const unsigned char* stream, std::uint32_t size, std::uint32_t width,
                                  std::uint32_t height, int channels, int depth, int interlaced,
                                  int zlib_header, std::uint32_t* raw_len) {
  if (!tonvik::codec::fast_inflate_enabled()) return nullptr;
  const std::uint64_t exact = tonvik::codec::png_raw_size(width, height, channels, depth, interlaced != 0);
  if (exact == 0) return nullptr;
  auto* out = static_cast<unsigned char*>(tonvik::codec::detail::zeroed_malloc(exact));
  if (out == nullptr) return nullptr;
  if (!tonvik::codec::inflate_png_exact(stream, size, zlib_header != 0, out, exact)) {
    tonvik::codec::detail::zeroed_free(out);
    return nullptr;
  }
  *raw_len = static_cast<std::uint32_t>(exact);  // png_raw_size keeps it below 2^31
  return out;
}
