// Micro-benchmarks: the LUT step on each kernel variant against the scalar
// sampler, the cube reader against the stream-based reference, and the PNG
// and JPEG decoders against stb's unpatched ones.
//
// TONVIK_BENCH_IMAGE names an image to map and, when it is a PNG, to decode
// (the bench's photo-like picture); TONVIK_BENCH_JPEG a JPEG to decode;
// TONVIK_BENCH_CUBE_33 / _65 name cube files. Without them the benchmark
// makes its own inputs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <stb_image.h>

#include "image_codec.hpp"
#include "lut.hpp"
#include "map_kernel.hpp"
#include "decode/png_inflate.hpp"
#include "reference_cube_reader.hpp"
#include "sampler.hpp"
#include "unpatched_stb_image.hpp"

namespace {

namespace kernel = vireth::image::kernel;
using vireth::image::lut;

struct pixels {
  std::vector<std::uint8_t> rgb;
  std::size_t count = 0;
};

// Smooth gradients with fine grain, 4000 x 3000, when no image is given.
pixels synthetic_photo() {
  constexpr int width = 4000;
  constexpr int height = 3000;
  pixels p;
  p.count = std::size_t{width} * height;
  p.rgb.resize(3 * p.count);
  std::mt19937 engine(7);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const float fx = x / float(width);
      const float fy = y / float(height);
      const float base[3] = {0.5f + 0.4f * std::sin(6.0f * fx + 2.0f * fy),
                             0.45f + 0.35f * std::cos(5.0f * fy), 0.4f + 0.3f * std::sin(3.0f * (fx + fy))};
      std::uint8_t* px = p.rgb.data() + 3 * (std::size_t{unsigned(y)} * width + unsigned(x));
      for (int k = 0; k < 3; ++k) {
        const float v = 255.0f * base[k] + float(int(engine() % 9) - 4);
        px[k] = static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
      }
    }
  }
  return p;
}

const pixels& photo() {
  static const pixels p = [] {
    if (const char* path = std::getenv("TONVIK_BENCH_IMAGE")) {
      int w = 0, h = 0, c = 0;
      if (unsigned char* data = stbi_load(path, &w, &h, &c, 3)) {
        pixels loaded;
        loaded.count = std::size_t(w) * std::size_t(h);
        loaded.rgb.assign(data, data + 3 * loaded.count);
        stbi_image_free(data);
        return loaded;
      }
      std::fprintf(stderr, "cannot load %s; using a synthetic image\n", path);
    }
    return synthetic_photo();
  }();
  return p;
}

// A smooth, non-identity grade of n points, as the bench's cube files hold.
std::string grade_cube(unsigned n) {
  std::string text = "TITLE \"bench grade\"\nLUT_3D_SIZE " + std::to_string(n) + "\n";
  char line[96];
  for (unsigned b = 0; b < n; ++b)
    for (unsigned g = 0; g < n; ++g)
      for (unsigned r = 0; r < n; ++r) {
        const double fr = r / double(n - 1), fg = g / double(n - 1), fb = b / double(n - 1);
        std::snprintf(line, sizeof line, "%.6f %.6f %.6f\n", std::pow(fr, 0.9) * 0.95 + 0.03 * fb,
                      0.1 + 0.8 * fg + 0.05 * fr * fb, std::sqrt(fb) * 0.9 + 0.05 * fg);
        text += line;
      }
  return text;
}

std::string cube_text(unsigned n) {
  const std::string var = "TONVIK_BENCH_CUBE_" + std::to_string(n);
  if (const char* path = std::getenv(var.c_str())) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    if (in) return all.str();
  }
  return grade_cube(n);
}

lut table_of(unsigned n) {
  lut t;
  std::istringstream in(cube_text(n));
  vireth::image::parse_cube(t, in);
  return t;
}

void lut_step(benchmark::State& state, int which) {
  const lut table = table_of(static_cast<unsigned>(state.range(0)));
  const pixels& source = photo();
  std::vector<std::uint8_t> work(source.rgb.size());
  for (auto _ : state) {
    state.PauseTiming();
    work = source.rgb;
    state.ResumeTiming();
    if (which < 0) {
      const auto strip = vireth::image::sampler::view_of(table);
      for (std::size_t i = 0; i < source.count; ++i)
        vireth::image::sampler::map_pixel(strip, work.data() + 3 * i);
    } else {
      kernel::map_with(static_cast<kernel::isa>(which), table, work.data(), source.count);
    }
    benchmark::DoNotOptimize(work.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * source.count));
}

void BM_LutStepScalar(benchmark::State& s) { lut_step(s, -1); }
void BM_LutStepPlain(benchmark::State& s) { lut_step(s, int(kernel::isa::portable)); }
void BM_LutStepSse2(benchmark::State& s) {
  if (!tonvik::cpu::runs(kernel::isa::sse2)) return s.SkipWithError("no SSE2");
  lut_step(s, int(kernel::isa::sse2));
}
void BM_LutStepAvx2(benchmark::State& s) {
  if (!tonvik::cpu::runs(kernel::isa::avx2)) return s.SkipWithError("no AVX2");
  lut_step(s, int(kernel::isa::avx2));
}

BENCHMARK(BM_LutStepScalar)->Arg(33)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_LutStepPlain)->Arg(33)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_LutStepSse2)->Arg(33)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_LutStepAvx2)->Arg(33)->Arg(65)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// The per-image tables alone: the part of the LUT step that does not scale
// with the image.
void BM_KernelTables(benchmark::State& state) {
  const lut table = table_of(static_cast<unsigned>(state.range(0)));
  kernel::kernel_tables tables;
  for (auto _ : state) {
    kernel::build(table, tables);
    benchmark::DoNotOptimize(tables.texels.data());
  }
}
BENCHMARK(BM_KernelTables)->Arg(33)->Arg(65)->Unit(benchmark::kMillisecond);

// Decoding from memory (no file system in the figure): the pipeline's loader,
// the same with stb's inflate alone (PNG), and stb's unpatched loader.
// TONVIK_BENCH_IMAGE names the PNG, TONVIK_BENCH_JPEG the JPEG.
std::vector<unsigned char> file_from(const char* variable) {
  std::vector<unsigned char> data;
  if (const char* path = std::getenv(variable)) {
    std::ifstream in(path, std::ios::binary);
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return data;
}

const std::vector<unsigned char>& png_file() {
  static const std::vector<unsigned char> bytes = [] {
    std::vector<unsigned char> data = file_from("TONVIK_BENCH_IMAGE");
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (data.size() < 8 || !std::equal(signature, signature + 8, data.begin())) data.clear();
    return data;
  }();
  return bytes;
}

const std::vector<unsigned char>& jpeg_file() {
  static const std::vector<unsigned char> bytes = file_from("TONVIK_BENCH_JPEG");
  return bytes;
}

enum class decoder { ours, ours_stb_inflate, unpatched };

void decode(benchmark::State& state, const std::vector<unsigned char>& file, decoder which) {
  if (file.empty()) return state.SkipWithError("no input file (TONVIK_BENCH_IMAGE / TONVIK_BENCH_JPEG)");
  for (auto _ : state) {
    if (which == decoder::unpatched) {
      int width = 0, height = 0;
      unsigned char* pixels = unpatched_stb::load_rgb(file.data(), int(file.size()), &width, &height);
      if (pixels == nullptr) return state.SkipWithError("stb refused the file");
      benchmark::DoNotOptimize(pixels);
      unpatched_stb::free_pixels(pixels);
    } else {
      std::optional<tonvik::codec::stb_inflate_only> forced;
      if (which == decoder::ours_stb_inflate) forced.emplace();
      tonvik::codec::decoded result = tonvik::codec::decode_memory(file.data(), file.size());
      if (result.status != tonvik::codec::decode_status::decoded) return state.SkipWithError("not decoded");
      benchmark::DoNotOptimize(result.image.pixels.get());
    }
  }
}

void BM_PngDecode(benchmark::State& s) { decode(s, png_file(), decoder::ours); }
void BM_PngDecodeStbInflate(benchmark::State& s) { decode(s, png_file(), decoder::ours_stb_inflate); }
void BM_PngDecodeUnpatchedStb(benchmark::State& s) { decode(s, png_file(), decoder::unpatched); }
void BM_JpegDecode(benchmark::State& s) { decode(s, jpeg_file(), decoder::ours); }
void BM_JpegDecodeUnpatchedStb(benchmark::State& s) { decode(s, jpeg_file(), decoder::unpatched); }
BENCHMARK(BM_PngDecode)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_PngDecodeStbInflate)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_PngDecodeUnpatchedStb)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_JpegDecode)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_JpegDecodeUnpatchedStb)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// The reader on a file stream, as the pipeline opens it.
void cube_reader(benchmark::State& state, bool reference) {
  const unsigned n = static_cast<unsigned>(state.range(0));
  const std::string path = "/tmp/tonvik_bench_reader_" + std::to_string(n) + ".cube";
  {
    std::ofstream out(path, std::ios::binary);
    out << cube_text(n);
  }
  for (auto _ : state) {
    lut t;
    std::ifstream in(path);
    if (reference) {
      tonvik_test::reference_parse_cube(t, in);
    } else {
      vireth::image::parse_cube(t, in);
    }
    benchmark::DoNotOptimize(t.data.data());
  }
  std::remove(path.c_str());
}

void BM_CubeReaderReference(benchmark::State& s) { cube_reader(s, true); }
void BM_CubeReader(benchmark::State& s) { cube_reader(s, false); }

BENCHMARK(BM_CubeReaderReference)->Arg(33)->Arg(65)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CubeReader)->Arg(33)->Arg(65)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
