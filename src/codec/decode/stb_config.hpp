// How the stb image loader is compiled: included once, by stb_loader.cpp,
// which is then the one translation unit holding the loader. Every format it
// knows stays enabled; nothing else defines its implementation macro, so
// there is exactly one copy of it. (stb's JPEG writer is compiled apart, as
// the tests' reference: tests/support/stb_reference.cpp.)
//
// The loader is built from stb_image_patched.h, the pinned header of
// third_party/stb with the patch series of third_party/stb/patches applied
// (stb_hooks.hpp names what the patches and the codec share), and configured
// here so that a hostile file can neither end the process nor
// leak memory contents:
//   - every block the loader allocates starts zero-filled, and so does the
//     part a realloc adds (zeroed_alloc.hpp);
//   - its internal assertions are off (a corrupt file must never abort);
//   - a read past the end of the input copies what there was, from a file
//     and from memory alike, and the rest of the zeroed buffer stays zero;
//   - a PIC may not declare more pixels than the pipeline writes.
//
// Four changes are for speed alone and keep every pixel: a PNG's stream is
// inflated by libdeflate first (png_inflate.hpp says when stb's inflate still
// runs), the Paeth unfilter has no branches (png_paeth.hpp), the JPEG
// reader's RGB conversion uses AVX2 where there is (ycbcr_to_rgb.hpp), and
// large blocks are mappings of their own, which grow without being copied.
#pragma once

#include "limits.hpp"
#include "stb_hooks.hpp"
#include "zeroed_alloc.hpp"

#define STBI_MALLOC(size) tonvik::codec::detail::zeroed_malloc(size)
#define STBI_REALLOC(pointer, size) tonvik::codec::detail::zeroed_realloc(pointer, size)
#define STBI_FREE(pointer) tonvik::codec::detail::zeroed_free(pointer)
#define STBI_ASSERT(condition) ((void)0)
// STBI_MAX_DIMENSIONS keeps its default: loader_max_side in limits.hpp says
// why. The patches' own limits are in stb_hooks.hpp; the JPEG scan budget is
// counted twice, by the header screen before the decode and by the decoder as
// it goes, for input that changed.

#define STB_IMAGE_IMPLEMENTATION
#include "stb_image_patched.h"
