#include "decode/inflate_stream.hpp"

#include <algorithm>
#include <cstdint>
#include <new>

#include <zlib-ng.h>

namespace tonvik::codec::detail {

// zlib-ng's stream, and whether its state was had: a stream whose set-up
// failed for want of memory reports bad on every call.
struct inflate_stream::state {
  zng_stream z{};
  bool ready = false;

  state() noexcept {
    // Negative window bits: raw deflate, a 32 KiB window, no header, no
    // checksum.
    ready = zng_inflateInit2(&z, -15) == Z_OK;
  }
  ~state() {
    if (ready) zng_inflateEnd(&z);
  }
};

inflate_stream::inflate_stream() noexcept : state_(new (std::nothrow) state) {}

inflate_stream::~inflate_stream() = default;

inflate_stream::result inflate_stream::inflate(const unsigned char* in, std::size_t in_size, unsigned char* out,
                                               std::size_t out_size, std::size_t& consumed,
                                               std::size_t& produced) noexcept {
  consumed = produced = 0;
  if (!state_ || !state_->ready) return result::bad;
  zng_stream& z = state_->z;
  // zlib-ng counts in 32 bits: a larger buffer is handed over in slices.
  constexpr std::size_t slice = UINT32_MAX;
  for (;;) {
    const std::uint32_t in_now = static_cast<std::uint32_t>(std::min(in_size - consumed, slice));
    const std::uint32_t out_now = static_cast<std::uint32_t>(std::min(out_size - produced, slice));
    z.next_in = in + consumed;
    z.avail_in = in_now;
    z.next_out = out + produced;
    z.avail_out = out_now;
    const int status = zng_inflate(&z, Z_NO_FLUSH);
    consumed += in_now - z.avail_in;
    produced += out_now - z.avail_out;
    switch (status) {
      case Z_STREAM_END: return result::ended;
      case Z_OK: break;
      case Z_BUF_ERROR: return result::progress;  // nothing more could be done
      default: return result::bad;  // Z_DATA_ERROR, Z_MEM_ERROR, Z_NEED_DICT, Z_STREAM_ERROR
    }
    // Z_OK: zlib-ng stopped at the end of a slice; go on only if more follows.
    const bool more_in = z.avail_in == 0 && consumed < in_size;
    const bool more_out = z.avail_out == 0 && produced < out_size;
    if (!more_in && !more_out) return result::progress;
  }
}

}  // namespace tonvik::codec::detail
