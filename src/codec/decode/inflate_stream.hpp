// Raw deflate inflated as its input arrives, for the PNG reader that
// unfilters rows as they come: it holds the stream's window, never the whole
// compressed or inflated data. The zlib header and trailer are the caller's.
//
// Ownership: one stream per image; not shared between threads. Failure
// contract: result::bad for data that breaks the format, and for memory that
// could not be had; nothing throws.
//
//   inflate_stream stream;
//   std::size_t used = 0, made = 0;
//   auto state = stream.inflate(in, in_size, out, out_size, used, made);
#pragma once

#include <cstddef>
#include <memory>

namespace tonvik::codec::detail {

class inflate_stream {
 public:
  inflate_stream() noexcept;
  ~inflate_stream();
  inflate_stream(const inflate_stream&) = delete;
  inflate_stream& operator=(const inflate_stream&) = delete;

  enum class result {
    progress,  // stopped because the input ran out or the output is full
    ended,     // the final block is complete; `consumed` ends with it
    bad,       // the data breaks the deflate format, or no memory
  };

  // Inflates from [in, in + in_size) into [out, out + out_size); `consumed`
  // and `produced` say how many bytes of each this call used.
  result inflate(const unsigned char* in, std::size_t in_size, unsigned char* out, std::size_t out_size,
                 std::size_t& consumed, std::size_t& produced) noexcept;

 private:
  struct state;
  std::unique_ptr<state> state_;
};

}  // namespace tonvik::codec::detail
