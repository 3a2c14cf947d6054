// Test driver: decodes one image through the pipeline's decoder and prints
// the outcome, so that the Python tests can check pixels exactly and run every
// hostile file in a process of its own (also under valgrind).
//
//   tonvik_decode [--memory] [--peak] [--stb-inflate] [--strips <rows>] <image>
//
// --strips reads through image_file::strips(), <rows> rows at a time, and
// writes "unsure\n" where that reader leaves the outcome to the whole decode.
// --stb-inflate decodes PNG streams with stb's inflate alone, for the tests
// that compare it with the libdeflate path.
//
// Writes "decoded <width> <height>\n" followed by width * height * 3 bytes of
// RGB, or "undecodable\n" / "too_large\n". With --peak, a first line
// "peak <kB>" gives the process's peak resident set after the decode
// (VmHWM, which unlike ru_maxrss starts afresh at exec). Exit status 0 for
// all three; 2 for a usage or I/O error of the driver itself.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "decode/png_inflate.hpp"
#include "image_codec.hpp"
#include "image_reader.hpp"

namespace {

int usage() {
  std::fputs("usage: tonvik_decode [--memory] [--peak] [--stb-inflate] [--strips <rows>] <image>\n", stderr);
  return 2;
}

long peak_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Reads through image_file::strips(), `rows` at a time, and prints as main() does.
int print_strips(const std::string& path, int rows) {
  const tonvik::codec::image_file file = tonvik::codec::open_image_file(path);
  auto reader = file.strips();
  std::string rgb;
  for (int y = 0; y < reader->height(); y += rows) {
    const int count = std::min(rows, reader->height() - y);
    const unsigned char* strip = reader->next_rows(y, count);
    if (strip == nullptr) break;
    rgb.append(reinterpret_cast<const char*>(strip), std::size_t(count) * reader->width() * 3);
  }
  static const char* const failures[] = {"undecodable", "undecodable", "too_large", "unsure"};
  if (!reader->finish())
    return std::printf("%s\n", failures[static_cast<int>(reader->failure())]) > 0 ? 0 : 2;
  std::printf("decoded %d %d\n", reader->width(), reader->height());
  return std::fwrite(rgb.data(), 1, rgb.size(), stdout) == rgb.size() && std::fflush(stdout) == 0 ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool from_memory = false;
  bool stb_inflate = false;
  bool report_peak = false;
  int strip_rows = 0;
  int next = 1;
  for (; next < argc && argv[next][0] == '-'; ++next) {
    if (std::strcmp(argv[next], "--memory") == 0) {
      from_memory = true;
    } else if (std::strcmp(argv[next], "--stb-inflate") == 0) {
      stb_inflate = true;
    } else if (std::strcmp(argv[next], "--peak") == 0) {
      report_peak = true;
    } else if (std::strcmp(argv[next], "--strips") == 0 && next + 1 < argc && std::atoi(argv[next + 1]) > 0) {
      strip_rows = std::atoi(argv[++next]);
    } else {
      return usage();
    }
  }
  if (next + 1 != argc) return usage();
  const std::string path = argv[next];
  std::optional<tonvik::codec::stb_inflate_only> forced;
  if (stb_inflate) forced.emplace();

  tonvik::codec::decoded result;
  if (strip_rows > 0) return print_strips(path, strip_rows);
  if (from_memory) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return usage();
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
    result = tonvik::codec::decode_memory(bytes.data(), bytes.size());
  } else {
    result = tonvik::codec::decode_file(path);
  }

  if (report_peak) std::printf("peak %ld\n", peak_kib());
  switch (result.status) {
    case tonvik::codec::decode_status::undecodable: std::fputs("undecodable\n", stdout); return 0;
    case tonvik::codec::decode_status::too_large: std::fputs("too_large\n", stdout); return 0;
    case tonvik::codec::decode_status::decoded: break;
  }
  const tonvik::codec::rgb_image& image = result.image;
  std::printf("decoded %d %d\n", image.width, image.height);
  const std::size_t size = image.pixel_count() * 3;
  if (std::fwrite(image.pixels.get(), 1, size, stdout) != size) return 2;
  return std::fflush(stdout) == 0 ? 0 : 2;
}
