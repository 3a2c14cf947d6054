#include "input_bounds.hpp"

#include <algorithm>

namespace tonvik::codec {

namespace {

// Files above 2^40 bytes count as 2^40: every product below then stays under
// 2^40 x 2^16 = 2^56, and no image we write needs a terabyte.
constexpr std::uint64_t largest_size_counted = std::uint64_t{1} << 40;

// PNG: the pixels pass through deflate. Its densest code is a run of
// length/distance pairs of the longest length, 258 bytes, each pair coded as
// a 1-bit length symbol (code 285 has no extra bits) and a 1-bit distance
// symbol, both possible in a dynamic Huffman block: 258 bytes for 2 bits, so
// at most 1032 bytes of filtered rows per byte of file. The rows hold
// width x height x bits_per_pixel bits at least (plus a filter byte per row,
// which the bound leaves out).
constexpr std::uint64_t png_raw_bytes_per_byte = 258 * 8 / 2;

// GIF: a code of w bits (w <= 12) names a dictionary entry below 2^w, and an
// entry's string grows by one pixel per entry, so it is at most 2^w pixels
// long. 2^w / w grows with w, so a bit yields at most 4096 / 12 pixels: a
// byte at most 8 x 4096 / 12 = 8192 / 3. The bound applies to the logical
// screen, which the decoder allocates whole: a small first frame on a huge
// screen is refused too.
constexpr std::uint64_t gif_pixels_per_3_bytes = 8192;

// JPEG: every 8x8 block of every component is coded in some scan. In a
// sequential scan a block takes at least a 1-bit DC code (difference 0) and
// a 1-bit end-of-block code; in a progressive file the first DC scan already
// takes at least 1 bit per block (later AC scans can skip whole runs of
// blocks with one end-of-band code, the DC scan cannot).
constexpr std::uint64_t jpeg_sequential_bits_per_block = 2;
constexpr std::uint64_t jpeg_progressive_bits_per_block = 1;

// TGA run-length: a packet of one header byte and one pixel repeats it up to
// 128 times. Raw: every pixel's bytes are in the file.
constexpr std::uint64_t tga_pixels_per_packet = 128;

// PSD PackBits: a 2-byte packet repeats a byte up to 128 times, so each
// channel plane the loader decodes (up to four, of at least 8 bits a sample)
// takes a byte per 64 pixels at least; raw planes are larger still.
constexpr std::uint64_t psd_samples_per_byte = 64;

// Softimage PIC mixed run-length: a 1-byte tag, a 16-bit count and at least
// one channel byte repeat a value up to 65535 times: 65535 / 4 < 16384.
constexpr std::uint64_t pic_pixels_per_byte = 16384;

// Radiance HDR: the run-length scanline stores each of its four components
// apart, a 2-byte run covering at most 127 pixels of one component; a pixel
// takes 8 / 127 bytes at least, under 16 pixels per byte. The flat layout
// takes 4 bytes a pixel.
constexpr std::uint64_t hdr_pixels_per_byte = 16;

}  // namespace

bool file_can_hold(const image_header& header, std::uint64_t file_size) noexcept {
  if (header.width <= 0 || header.height <= 0) return true;
  // The loader refuses sides above 2^24, so larger ones never decode; below
  // that, pixels x bits stays under 2^54.
  const auto width = static_cast<std::uint64_t>(header.width);
  const auto height = static_cast<std::uint64_t>(header.height);
  constexpr auto largest = static_cast<std::uint64_t>(loader_max_side);
  if (width > largest || height > largest) return false;
  const std::uint64_t pixels = width * height;
  const std::uint64_t size = std::min(file_size, largest_size_counted);
  const std::uint64_t bits = static_cast<std::uint64_t>(std::max(header.bits_per_pixel, 1));

  switch (header.format) {
    case image_format::png:
      return pixels * bits <= 8 * png_raw_bytes_per_byte * size;
    case image_format::gif:
      return pixels * 3 <= gif_pixels_per_3_bytes * size;
    case image_format::jpeg: {
      const std::uint64_t per_block =
          header.progressive ? jpeg_progressive_bits_per_block : jpeg_sequential_bits_per_block;
      return static_cast<std::uint64_t>(header.jpeg_blocks) * per_block <= 8 * size &&
             header.jpeg_scanned_blocks <= max_jpeg_passes * header.jpeg_blocks;
    }
    case image_format::bmp:
    case image_format::pnm:
      return pixels * bits <= 8 * size;
    case image_format::tga: {
      const std::uint64_t pixel_bytes = (bits + 7) / 8;
      if (header.run_length) return pixels * (1 + pixel_bytes) <= tga_pixels_per_packet * size;
      return pixels * pixel_bytes <= size;
    }
    case image_format::psd:
      return pixels * (bits / 8) <= psd_samples_per_byte * size;
    case image_format::pic:
      return pixels <= pic_pixels_per_byte * size;
    case image_format::hdr:
      return pixels <= hdr_pixels_per_byte * size;
    case image_format::unknown:
      break;
  }
  return false;
}

}  // namespace tonvik::codec
