// The most pixels a file of a given size can hold in each format, so that a
// header declaring more than its file could ever code is refused before
// anything image-sized is allocated: a decode then costs time and memory in
// proportion to the file, not to what a few header bytes claim.
//
// Each bound is the format's best possible compression (a flat colour at the
// largest size the file can hold still fits), with its derivation beside it
// in input_bounds.cpp. Pure arithmetic; nothing throws.
//
//   image_header header = ...;  // read by read_header (stb_loader.hpp)
//   if (!file_can_hold(header, file_size)) refuse();
#pragma once

#include <cstdint>

#include "limits.hpp"

namespace tonvik::codec {

enum class image_format { unknown, png, bmp, gif, psd, pic, jpeg, pnm, hdr, tga };

// What a header declares, as far as the bound of its format needs it.
struct image_header {
  image_format format = image_format::unknown;
  std::int64_t width = 0;
  std::int64_t height = 0;
  // PNG: bits per sample x samples per pixel (a palette index counts as one
  // sample); BMP, TGA: bits per pixel; PNM: samples x bits per sample;
  // PSD: 8 x the channel planes the loader decodes.
  int bits_per_pixel = 0;
  bool run_length = false;       // TGA: run-length coded
  bool progressive = false;      // JPEG
  std::int64_t jpeg_blocks = 0;  // JPEG: 8x8 blocks of all components together
  // Progressive JPEG: the blocks all its scans walk together, counted from
  // the scan headers (the count stops once it passes the cap below).
  std::int64_t jpeg_scanned_blocks = 0;
};

// True when a file of `file_size` bytes can code the image `header`
// declares and, for a progressive JPEG, when its scans walk its blocks at
// most max_jpeg_passes times (limits.hpp). A header that declares no pixels
// passes: the decoder refuses it.
bool file_can_hold(const image_header& header, std::uint64_t file_size) noexcept;

}  // namespace tonvik::codec
