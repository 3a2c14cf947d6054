// inflate_stream over the system's zlib: a stand-in while the pinned
// build of the library is made part of the codec. Everything zlib-specific
// stays in this file.
#include <climits>
#include <cstring>

#include <zlib.h>

#include "inflate_stream.hpp"

namespace tonvik::codec::detail {

struct inflate_stream::state {
  z_stream z;
  bool ready = false;

  state() noexcept {
    std::memset(&z, 0, sizeof z);
    // Negative window bits: raw deflate, the caller reads the zlib header.
    ready = inflateInit2(&z, -15) == Z_OK;
  }
  ~state() {
    if (ready) inflateEnd(&z);
  }
  state(const state&) = delete;
  state& operator=(const state&) = delete;
};

inflate_stream::inflate_stream() noexcept : state_(new (std::nothrow) state) {}

inflate_stream::~inflate_stream() = default;

inflate_stream::result inflate_stream::inflate(const unsigned char* in, std::size_t in_size, unsigned char* out,
                                               std::size_t out_size, std::size_t& consumed,
                                               std::size_t& produced) noexcept {
  consumed = produced = 0;
  if (!state_ || !state_->ready) return result::bad;
  z_stream& z = state_->z;
  // zlib counts in unsigned int; a larger request is served in part.
  const uInt in_part = in_size > UINT_MAX ? UINT_MAX : static_cast<uInt>(in_size);
  const uInt out_part = out_size > UINT_MAX ? UINT_MAX : static_cast<uInt>(out_size);
  z.next_in = const_cast<Bytef*>(in);  // zlib's API is not const, it only reads
  z.avail_in = in_part;
  z.next_out = out;
  z.avail_out = out_part;
  const int status = ::inflate(&z, Z_NO_FLUSH);
  consumed = in_part - z.avail_in;
  produced = out_part - z.avail_out;
  switch (status) {
    case Z_OK: return result::progress;
    case Z_BUF_ERROR: return result::progress;  // no room or no input: nothing could be done
    case Z_STREAM_END: return result::ended;
    default: return result::bad;  // Z_DATA_ERROR, Z_MEM_ERROR, Z_STREAM_ERROR, Z_NEED_DICT
  }
}

}  // namespace tonvik::codec::detail
