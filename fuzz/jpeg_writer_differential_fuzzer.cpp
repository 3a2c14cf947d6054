// Our JPEG writer against stb_image_write's, byte for byte, on every ISA
// path this CPU runs. Any difference is a finding (a trap).
//
// Input: width (2 bytes, little-endian), height (1 byte), quality (1 byte),
// then pixels. Sides are taken modulo a bound that keeps each run fast;
// quality byte 255 means the pipeline's 3 x width, anything else q - 10, so
// that 0, negative and above-100 values occur too. The pixel bytes repeat
// to fill the image (zeros when there are none), so a size never depends on
// how many pixels the input carries.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "encode/jpeg_writer.hpp"
#include "memory_sink.hpp"
#include "stb_reference.hpp"

namespace {

constexpr int max_width = 256;
constexpr int max_height = 48;
constexpr std::size_t header_bytes = 4;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < header_bytes) return 0;
  const int width = 1 + (data[0] | data[1] << 8) % max_width;
  const int height = 1 + data[2] % max_height;
  const int quality = data[3] == 255 ? 3 * width : data[3] - 10;
  const std::uint8_t* pixels = data + header_bytes;
  const std::size_t given = size - header_bytes;

  std::vector<unsigned char> rgb(static_cast<std::size_t>(width) * height * 3, 0);
  for (std::size_t i = 0; given && i < rgb.size(); i += given) {
    std::memcpy(rgb.data() + i, pixels, rgb.size() - i < given ? rgb.size() - i : given);
  }

  const tonvik_test::bytes expected = tonvik_test::stb_jpeg(rgb.data(), width, height, quality);
  if (expected.empty()) __builtin_trap();
  for (auto isa : {tonvik::cpu::isa::portable, tonvik::cpu::isa::sse2, tonvik::cpu::isa::avx2}) {
    if (!tonvik::cpu::runs(isa)) continue;
    tonvik_test::memory_sink sink;
    if (!tonvik::codec::write_jpeg_with(isa, sink, rgb.data(), width, height, quality)) __builtin_trap();
    if (sink.out != expected) __builtin_trap();
  }
  return 0;
}
