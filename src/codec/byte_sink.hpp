// byte_sink: where an encoder's output goes, in order. Implementations decide
// what a byte is written to (a file descriptor, memory).
//
// A sink lends its own buffer: reserve() gives room for up to `size` bytes,
// the encoder writes straight into it and commit() says how many it wrote,
// so no chunk is copied on its way. put() copies bytes that already exist.
// Every sink lends at least `min_reserve` bytes at a time.
//
// Failure contract: reserve() gives null and put() false once the sink has
// failed, and from then on; an encoder that sees either stops and reports an
// incomplete file. Nothing here throws but what a sink's allocation throws.
//
//   unsigned char* room = sink.reserve(2 * size);
//   if (!room) return false;
//   sink.commit(fill(room));
#pragma once

#include <cstddef>
#include <cstring>

namespace tonvik::codec {

class byte_sink {
 public:
  // 64 KiB: what an encoder may ask for in one reservation.
  static constexpr std::size_t min_reserve = 64 * 1024;

  virtual ~byte_sink() = default;

  // Room for `size` bytes (at most min_reserve, or more where the sink says
  // so), valid until the next call; null once the sink has failed.
  virtual unsigned char* reserve(std::size_t size) = 0;
  // The first `size` bytes of the last reservation are written.
  virtual void commit(std::size_t size) = 0;

  // Copies `size` bytes in, a reservation at a time.
  virtual bool put(const unsigned char* bytes, std::size_t size) {
    while (size > 0) {
      const std::size_t piece = size < min_reserve ? size : min_reserve;
      unsigned char* room = reserve(piece);
      if (!room) return false;
      std::memcpy(room, bytes, piece);
      commit(piece);
      bytes += piece;
      size -= piece;
    }
    return true;
  }
};

}  // namespace tonvik::codec
