// byte_sink: where an encoder's output goes, in order. Implementations decide
// what a byte is written to (a file descriptor, memory, a counter).
//
// Failure contract: put() returns false once the sink has failed, and keeps
// returning false; an encoder that sees false stops and reports an incomplete
// image. Nothing here throws.
//
//   class memory_sink final : public byte_sink {
//     bool put(const unsigned char* bytes, std::size_t size) override { ... }
//   };
#pragma once

#include <cstddef>

namespace tonvik::codec {

class byte_sink {
 public:
  virtual ~byte_sink() = default;
  virtual bool put(const unsigned char* bytes, std::size_t size) = 0;
};

}  // namespace tonvik::codec
