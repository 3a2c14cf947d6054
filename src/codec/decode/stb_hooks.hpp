// Where the patched stb loader and the codec meet: every name of ours that
// the patches of third_party/stb/patches call, and every name the patches
// add that the codec reads. stb_config.hpp includes this header, and nothing
// else does, before stb_image_patched.h. A hook renamed here and not in
// its patch fails to compile; a patch that calls a new hook declares it here.
#pragma once

#include <cstdint>

#include "limits.hpp"        // max_jpeg_pixels, max_jpeg_scanned_blocks
#include "png_inflate.hpp"   // tonvik_png_inflate
#include "png_paeth.hpp"     // tonvik_png_paeth
#include "ycbcr_to_rgb.hpp"  // tonvik_ycbcr_to_rgb3

// Called by the patches:
//
// pic.patch: the PIC loader refuses more pixels than the pipeline ever
// writes, before it allocates (its header screen could not always read them).
#define STBI_TONVIK_MAX_PIXELS tonvik::codec::max_jpeg_pixels
// jpeg-progressive-count.patch, jpeg-scan-budget.patch: the most blocks all
// of a JPEG's scans may walk together, for an image of `image_blocks`.
#define STBI_TONVIK_MAX_SCANNED_BLOCKS(image_blocks) tonvik::codec::max_jpeg_scanned_blocks(image_blocks)
// speed-hooks.patch, the PNG reader: unsigned char* tonvik_png_inflate(...),
// the IDAT stream inflated by libdeflate into a block of exactly the raw
// size; null leaves it to stb's own inflate (png_inflate.hpp).
// speed-hooks.patch, stb's Paeth predictor: int tonvik_png_paeth(int a, int b,
// int c), without branches (png_paeth.hpp).
// speed-hooks.patch, the JPEG reader's 3-byte RGB output:
// int tonvik_ycbcr_to_rgb3(out, y, cb, cr, count), groups of pixels with AVX2
// (ycbcr_to_rgb.hpp); stb's loop converts the rest.

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
