// Every size limit of the codecs, each with its reason. A limit that the
// reader and the writer both obey lives here once; change one here and the
// header screen, the loader and the writer follow.
//
//   if (width > max_jpeg_side || width * height > max_jpeg_pixels) refuse();
#pragma once

#include <cstdint>

namespace tonvik::codec {

// The largest side a JPEG frame header can hold: each side is 16 bits. The
// writer refuses anything larger rather than wrap it.
inline constexpr std::int64_t jpeg_format_max_side = 65535;

// The largest side written. The common decoders refuse sides above 65500, so
// an output wider or higher than that could not be opened where it is used.
// Images beyond it are refused as too large, from their header.
inline constexpr std::int64_t max_jpeg_side = 65500;
static_assert(max_jpeg_side <= jpeg_format_max_side, "the refusal limit is inside the format");

// The largest pixel count whose 12-byte-per-pixel working size still fits a
// signed 32-bit int, floor((2^31 - 1) / 12); the writer is not safe above it.
// The PIC loader refuses more pixels than this from its header too.
inline constexpr std::int64_t max_jpeg_pixels = 178956970;

// The loader refuses sides above 2^24 (stb's default STBI_MAX_DIMENSIONS,
// kept on purpose: stbi_info obeys it too, and a lower value would turn "too
// large" into "not an image" for the header screen).
inline constexpr std::int64_t loader_max_side = std::int64_t{1} << 24;

// Passes over a JPEG image's blocks, all its scans together. Every scan walks
// all blocks of its components (an empty refinement scan costs the file ten
// bytes and the decoder a look at 63 coefficients of every block), so a small
// file could demand minutes. A sequential image takes one pass; the usual
// progressions take at most 6 per block (10 scans for three components, 6
// for grey, 18 for four); 16 leaves room for other encoders' scripts and
// bounds the work at 16 passes of the blocks the file's size allows.
inline constexpr int max_jpeg_passes = 16;

// A stream (a FIFO, a pipe) is held whole in memory; one longer than the
// largest decoded image we write (8-bit RGB at max_jpeg_pixels, stored raw)
// is refused. Every compressed format, and raw 8-bit RGB, fits below it.
inline constexpr std::uint64_t max_stream_bytes = static_cast<std::uint64_t>(max_jpeg_pixels) * 3;

}  // namespace tonvik::codec
