// The JPEG writer: packed 8-bit RGB in, a strip of rows at a time from a
// row_source (8 rows, or 16 when it subsamples), one baseline JFIF file out,
// streamed in large chunks straight into a byte_sink's own buffer.
//
// Every byte is the one stb_image_write 1.16's stbi_write_jpg writes for the
// same three-component pixels and quality: the same headers and tables, the
// same float colour conversion, DCT and rounding, 2x2 chroma subsampling at
// quality 90 and below, the last row and column repeated to fill the edge
// blocks. The scan coder's path (portable, SSE2, AVX2) follows the CPU's
// level (cpu_isa.hpp); each one's bytes equal the portable path's.
//
// Ownership: reads the caller's pixels, one strip at a time, and keeps
// nothing after it returns. Its working memory is one output chunk (18 KiB of
// coded bytes, stuffed into the sink's buffer as they go out) whatever the
// image size.
// Failure contract: false for arguments it cannot write (no pixels, a side
// outside 1..jpeg_format_max_side, a level this process does not run), when
// the source gives no rows and when the sink refuses a chunk; the sink then
// holds an incomplete file. Throws std::bad_alloc only.
//
//   memory_sink sink;
//   bool complete = write_jpeg(sink, rgb, width, height, 3 * width);
#pragma once

#include "byte_sink.hpp"
#include "cpu_isa.hpp"
#include "row_source.hpp"

namespace tonvik::codec {

// `quality` as the stb writer reads it: 0 means 90; 90 and below subsample
// chroma 2x2; then clamped to 1..100. Runs the path of tonvik::cpu::chosen().
bool write_jpeg(byte_sink& sink, row_source& rows, int width, int height, int quality);

// The same on the path of `level`, for the tests, the fuzzer and the
// benchmarks, which compare the paths within one process.
bool write_jpeg_with(cpu::isa level, byte_sink& sink, row_source& rows, int width, int height, int quality);

// A whole image in memory (image_rows over `rgb`; no pixels is an argument it
// cannot write).
bool write_jpeg(byte_sink& sink, const unsigned char* rgb, int width, int height, int quality);
bool write_jpeg_with(cpu::isa level, byte_sink& sink, const unsigned char* rgb, int width, int height,
                     int quality);

}  // namespace tonvik::codec
