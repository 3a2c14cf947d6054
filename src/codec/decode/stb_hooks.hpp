// Where the patched stb loader and the codec meet: every name of ours that
// the patches of third_party/stb/patches call, declared here and nowhere else,
// and every name the patches add that the codec reads. stb_config.hpp
// includes this header before stb_image_patched.h, and the files that define
// the hooks include it too, so a hook renamed on one side fails the build.
// A patch that calls a new hook declares it here.
#pragma once

#include <cstdint>

#include "limits.hpp"
#include "png_paeth.hpp"

// Called by the patches (plain names, no namespace: the loader is C).
//
// pic.patch: the PIC loader refuses more pixels than the pipeline ever
// writes, before it allocates (the header screen cannot always read a PIC).
#define STBI_TONVIK_MAX_PIXELS tonvik::codec::max_jpeg_pixels
// jpeg-progressive-count.patch, jpeg-scan-budget.patch: the most blocks all
// of a JPEG's scans may walk together, for an image of `image_blocks`
// (limits.hpp says why).
#define STBI_TONVIK_MAX_SCANNED_BLOCKS(image_blocks) tonvik::codec::max_jpeg_scanned_blocks(image_blocks)
// speed-hooks.patch, the PNG reader: the IDAT stream inflated by libdeflate
// into a block of exactly the raw size, from the loader's allocator (which
// frees it). Null, with *raw_len untouched, leaves the stream to stb's own
// inflate. Defined in png_inflate.cpp.
unsigned char* tonvik_png_inflate(const unsigned char* stream, std::uint32_t size, std::uint32_t width,
                                  std::uint32_t height, int channels, int depth, int interlaced,
                                  int zlib_header, std::uint32_t* raw_len);
// speed-hooks.patch, stb's Paeth predictor: tonvik_png_paeth(a, b, c), the
// same choice without branches, defined inline in png_paeth.hpp (included
// above: the loader needs its body).
// speed-hooks.patch, the JPEG reader's 3-byte RGB output: converts whole
// groups of pixels with AVX2 and returns how many; stb's loop converts the
// rest. Defined in ycbcr_to_rgb.cpp.
int tonvik_ycbcr_to_rgb3(unsigned char* out, const unsigned char* y, const unsigned char* cb,
                         const unsigned char* cr, int count);

// Added by the patches, read by stb_loader.cpp:
//
// short-reads.patch: stbi__context::tonvik_ran_out, set by every read past
// the end of the input and cleared by a rewind: a raw or run-length image
// that needed such a byte is refused. stb_loader.cpp's structure walks read
// it too.
// jpeg-progressive-count.patch: stbi__tonvik_scan_blocks(j), the blocks one
// scan walks, and stbi__tonvik_image_blocks(j), the image's blocks: the header
// screen counts a progressive file's cost with the decoder's own arithmetic;
// stbi__tonvik_note_scan and stbi__tonvik_all_final, with which it finds a
// file that ends before all its coefficients are final.
// jpeg-rows.patch: stbi__tonvik_jpeg_new(s), a JPEG decoder set up for a
// load; stbi__tonvik_jpeg_start, the decode to component planes;
// stbi__tonvik_jpeg_rows_out, the next rows from them, its state in an
// stbi__tonvik_jpeg_rows; open_jpeg_rows and read_jpeg_rows use them.
