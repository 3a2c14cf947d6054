// The fast inflate inside the PNG reader: the zlib stream of a PNG's IDAT
// chunks, inflated by libdeflate into a buffer of exactly the size the header
// implies. stb's own inflate stays the authority: whenever this one refuses a
// stream, for any reason, the loader runs stb's as before, so a file decodes
// to the same pixels, or fails the same way, as with stb's inflate alone.
//
// The one exception is a stream that breaks the deflate format in a way stb
// refuses and libdeflate reads all the same; no encoder writes these, they
// have to be crafted:
//   - a code-length repeat (symbols 16 to 18) running past the declared
//     number of literal/length and distance codes: stb refuses it;
//   - the reserved length symbols 286 and 287: stb copies 0 bytes, libdeflate
//     258; the reserved distance symbols 30 and 31: stb copies bytes not yet
//     written (zeros), libdeflate reads far back;
//   - a Huffman code with a single codeword, when the stream uses the
//     codeword it leaves unassigned, or a match whose distance code is empty:
//     stb refuses them, libdeflate reads the one symbol (distance 1).
// Such a file may now decode, or decode to other pixels, where stb refused it
// or decoded it differently.
//
// Ownership: the caller owns `out`; nothing here keeps state between calls.
// Failure contract: false, with `out` holding unspecified bytes.
//
//   const std::uint64_t size = png_raw_size(width, height, channels, depth, interlaced);
//   if (size != 0 && inflate_png_exact(stream, stream_size, true, out, size)) ...
#pragma once

#include <cstddef>
#include <cstdint>

namespace tonvik::codec {

// Bytes of filtered scanlines a PNG's header implies: every row of every
// non-empty interlace pass, each with its filter-type byte in front. 0 when
// the size reaches 2^31 (beyond what the loader's 32-bit arithmetic handles:
// the caller then leaves the stream to stb's inflate).
std::uint64_t png_raw_size(std::uint32_t width, std::uint32_t height, int channels, int depth,
                           bool interlaced) noexcept;

// stb's checks on a zlib stream's two header bytes: the check bits, no
// preset dictionary, method 8 (deflate). The window size is not looked at.
bool png_zlib_header_accepted(unsigned cmf, unsigned flg) noexcept;

// Inflates `stream` into exactly `out_size` bytes. With `zlib_header` the
// stream starts with the 2-byte zlib header, checked by the same rules as
// stb's; its Adler-32 trailer is not checked, as stb does not check it
// either. Without it (Apple's CgBI PNGs) the stream is raw deflate. False
// when the header or the data is bad, when the data inflates to fewer or
// more than `out_size` bytes, or when fewer than two bytes (normally the
// checksum) follow the final block: stb reads the end of a cut stream in its
// own way. Whatever follows those bytes is ignored.
bool inflate_png_exact(const unsigned char* stream, std::size_t size, bool zlib_header, unsigned char* out,
                       std::size_t out_size) noexcept;

// While one exists, PNGs decoded on this thread use stb's inflate alone: the
// differential tests decode every file both ways through the same loader.
class stb_inflate_only {
 public:
  stb_inflate_only() noexcept;
  ~stb_inflate_only();
  stb_inflate_only(const stb_inflate_only&) = delete;
  stb_inflate_only& operator=(const stb_inflate_only&) = delete;

 private:
  bool previous_;
};

// True unless an stb_inflate_only is alive on this thread.
bool fast_inflate_enabled() noexcept;

}  // namespace tonvik::codec
