// The JPEG writer against stb_image_write's, byte for byte, on every ISA
// path this CPU runs. Float-order faults (a fused multiply-add, a regrouped
// sum, another rounding) change only a few coefficients of a real picture, so
// the differential covers a large photo-like image and real files as well as
// noise, every small size and the edge cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <stb_image_write.h>

#include "image_codec.hpp"
#include "encode/jpeg_writer.hpp"

namespace {

using tonvik::codec::byte_sink;
namespace cpu = tonvik::cpu;

using bytes = std::vector<unsigned char>;

struct image {
  int width = 0;
  int height = 0;
  bytes rgb;
  unsigned char* at(int x, int y) { return rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3; }
};

class memory_sink final : public byte_sink {
 public:
  bool put(const unsigned char* data, std::size_t size) override {
    out.insert(out.end(), data, data + size);
    sizes.push_back(size);
    return true;
  }
  bytes out;
  std::vector<std::size_t> sizes;
};

// Accepts `budget` bytes, then refuses everything.
class failing_sink final : public byte_sink {
 public:
  explicit failing_sink(std::size_t budget) : budget_(budget) {}
  bool put(const unsigned char*, std::size_t size) override {
    ++calls;
    if (size > budget_) {
      budget_ = 0;
      return false;
    }
    budget_ -= size;
    return true;
  }
  int calls = 0;

 private:
  std::size_t budget_;
};

bytes stb_bytes(const image& im, int quality) {
  bytes out;
  const auto append = [](void* context, void* data, int size) {
    auto* target = static_cast<bytes*>(context);
    const auto* first = static_cast<const unsigned char*>(data);
    target->insert(target->end(), first, first + size);
  };
  EXPECT_EQ(stbi_write_jpg_to_func(append, &out, im.width, im.height, 3, im.rgb.data(), quality), 1);
  return out;
}

bytes our_bytes(cpu::isa isa, const image& im, int quality) {
  memory_sink sink;
  EXPECT_TRUE(tonvik::codec::write_jpeg_with(isa, sink, im.rgb.data(), im.width, im.height, quality));
  return sink.out;
}

// The first differing byte, for a readable failure.
std::string first_difference(const bytes& expected, const bytes& actual) {
  const std::size_t n = std::min(expected.size(), actual.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (expected[i] != actual[i]) return "first difference at byte " + std::to_string(i);
  }
  return "sizes " + std::to_string(expected.size()) + " (stb) and " + std::to_string(actual.size());
}

#define EXPECT_SAME_BYTES(expected, actual, what)                              \
  do {                                                                         \
    const bytes& e_ = (expected);                                              \
    const bytes& a_ = (actual);                                                \
    if (e_ != a_) ADD_FAILURE() << (what) << ": " << first_difference(e_, a_); \
  } while (0)

image noise(int width, int height, std::uint32_t seed) {
  image im{width, height, bytes(static_cast<std::size_t>(width) * height * 3)};
  std::mt19937 rng(seed);
  for (auto& b : im.rgb) b = static_cast<unsigned char>(rng() >> 24);
  return im;
}

// A synthetic photograph: smooth light, soft coloured shapes, mid-scale
// texture, fine detail and sensor grain, so that coefficients of every
// magnitude and run length occur as they do in real pictures.
image photo(int width, int height, std::uint32_t seed) {
  image im{width, height, bytes(static_cast<std::size_t>(width) * height * 3)};
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  struct blob {
    float x, y, radius, colour[3];
  };
  std::vector<blob> blobs(12);
  for (auto& b : blobs) {
    b = {unit(rng),
         unit(rng),
         0.04f + 0.2f * unit(rng),
         {unit(rng) - 0.5f, unit(rng) - 0.5f, unit(rng) - 0.5f}};
  }
  const int cell = 24;
  const int cells_x = width / cell + 2;
  std::vector<float> texture(static_cast<std::size_t>(cells_x) * (height / cell + 2));
  for (auto& t : texture) t = unit(rng) - 0.5f;
  std::normal_distribution<float> grain(0.0f, 2.0f);
  for (int y = 0; y < height; ++y) {
    const float fy = static_cast<float>(y) / height;
    for (int x = 0; x < width; ++x) {
      const float fx = static_cast<float>(x) / width;
      float rgb[3];
      const float light = 0.5f + 0.3f * std::sin(2.3f * fx + 1.1f * fy) * std::cos(1.9f * fy - 0.3f);
      const float tint[3] = {1.05f, 0.95f, 0.8f};
      for (int k = 0; k < 3; ++k) rgb[k] = light * tint[k];
      for (const auto& b : blobs) {
        const float d2 = (fx - b.x) * (fx - b.x) + (fy - b.y) * (fy - b.y);
        const float w = std::exp(-d2 / (2 * b.radius * b.radius));
        for (int k = 0; k < 3; ++k) rgb[k] += w * b.colour[k];
      }
      const float t = texture[static_cast<std::size_t>(y / cell) * cells_x + x / cell];
      const float fine = 0.03f * std::sin(0.7f * x + 0.4f * y) * std::sin(0.23f * x);
      for (int k = 0; k < 3; ++k) {
        const float v = (rgb[k] + 0.05f * t + fine) * 255.0f + grain(rng);
        im.at(x, y)[k] = static_cast<unsigned char>(std::clamp(v, 0.0f, 255.0f));
      }
    }
  }
  return im;
}

image filled(int width, int height, unsigned char r, unsigned char g, unsigned char b) {
  image im{width, height, bytes(static_cast<std::size_t>(width) * height * 3)};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      im.at(x, y)[0] = r;
      im.at(x, y)[1] = g;
      im.at(x, y)[2] = b;
    }
  }
  return im;
}

// 0/255 squares of side `cell`, each channel on its own phase, so that luma
// and both chroma channels reach their extremes.
image checkerboard(int width, int height, int cell) {
  image im{width, height, bytes(static_cast<std::size_t>(width) * height * 3)};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int phase = (x / cell + y / cell) & 1;
      im.at(x, y)[0] = phase ? 255 : 0;
      im.at(x, y)[1] = ((x / cell) & 1) ? 255 : 0;
      im.at(x, y)[2] = phase ? 0 : 255;
    }
  }
  return im;
}

constexpr cpu::isa every_isa[] = {cpu::isa::portable, cpu::isa::sse2, cpu::isa::avx2};


// stb's bytes once, against every path this CPU runs.
void expect_same(const image& im, int quality, const std::string& what) {
  const bytes expected = stb_bytes(im, quality);
  for (cpu::isa isa : every_isa) {
    if (!cpu::runs(isa)) continue;
    EXPECT_SAME_BYTES(expected, our_bytes(isa, im, quality),
                      what + " " + std::to_string(im.width) + "x" + std::to_string(im.height) + " quality " +
                          std::to_string(quality) + " on " + cpu::name_of(isa));
  }
}

// The pipeline's own setting on a 12 MP photograph (quality 3 x width, so
// 100, 4:4:4): stb's bytes are computed once for all paths.
TEST(JpegWriterTest, LargePhotoMatchesStbAtThePipelinesQuality) {
  const image big = photo(4000, 3000, 2026);
  expect_same(big, 3 * big.width, "12 MP photo");
}

TEST(JpegWriterTest, PhotoMatchesStbAtEveryKindOfQuality) {
  const image picture = photo(1001, 667, 7);
  for (int quality : {1, 10, 50, 75, 90, 91, 95, 99, 100}) expect_same(picture, quality, "photo");
}

TEST(JpegWriterTest, NoiseMatchesStb) {
  const image random = noise(1203, 805, 11);
  for (int quality : {100, 93, 90, 50, 1}) expect_same(random, quality, "noise");
}

TEST(JpegWriterTest, EverySizeUpTo40MatchesStb) {
  for (int height = 1; height <= 40; ++height) {
    for (int width = 1; width <= 40; ++width) {
      image im = photo(width, height, static_cast<std::uint32_t>(width * 64 + height));
      // Half noise, half picture: both dense and sparse blocks at every size.
      const image grain = noise(width, height, static_cast<std::uint32_t>(width + 1000 * height));
      for (std::size_t i = 0; i < im.rgb.size() / 2; ++i) im.rgb[i] = grain.rgb[i];
      for (int quality : {1, 50, 90, 91, 99, 100, 3 * width}) {
        expect_same(im, quality, "size");
        if (HasFailure()) return;
      }
    }
  }
}

TEST(JpegWriterTest, EdgeSizesMatchStb) {
  const int sides[] = {1, 2, 7, 8, 9, 15, 16, 17, 33, 65, 129, 257, 1000, 4097};
  for (int side : sides) {
    for (const auto& [width, height] : {std::pair{1, side}, std::pair{side, 1}, std::pair{side, 3}}) {
      const image im = photo(width, height, static_cast<std::uint32_t>(side));
      for (int quality : {90, 100}) expect_same(im, quality, "edge");
    }
  }
  for (const auto& [width, height] :
       {std::pair{8 * 13 + 1, 8 * 7 + 1}, std::pair{16 * 9 + 1, 16 * 5 + 1},
        std::pair{8 * 40 + 1, 16 * 3 + 1}, std::pair{16 * 21 + 1, 8 * 11 + 1}}) {
    const image im = noise(width, height, static_cast<std::uint32_t>(width * height));
    for (int quality : {80, 90, 91, 100}) expect_same(im, quality, "8k+1/16k+1");
  }
}

TEST(JpegWriterTest, FlatAndExtremeBlocksMatchStb) {
  const int qualities[] = {1, 50, 90, 100};
  for (const auto& colour : {std::array<int, 3>{0, 0, 0},
                             {255, 255, 255},
                             {128, 128, 128},
                             {255, 0, 0},
                             {0, 0, 255},
                             {255, 255, 0},
                             {0, 255, 255}}) {
    const image im = filled(37, 29, static_cast<unsigned char>(colour[0]),
                            static_cast<unsigned char>(colour[1]), static_cast<unsigned char>(colour[2]));
    for (int quality : qualities) expect_same(im, quality, "flat");
  }
  for (int cell : {1, 2, 3, 4, 8, 16}) {
    const image im = checkerboard(67, 45, cell);
    for (int quality : qualities) expect_same(im, quality, "checkerboard cell " + std::to_string(cell));
  }
  // Every byte 0 or 255 at random: the largest coefficients there are.
  image extremes = noise(96, 80, 3);
  for (auto& b : extremes.rgb) b = b & 0x80 ? 255 : 0;
  for (int quality : qualities) expect_same(extremes, quality, "random 0/255");
}

TEST(JpegWriterTest, QualityOutsideOneToHundredIsReadAsStbReadsIt) {
  const image im = photo(40, 24, 5);
  for (int quality : {0, -5, 101, 1000, 1 << 30}) expect_same(im, quality, "quality");
}

// Real pictures from the shared corpus, as the loader decodes them.
TEST(JpegWriterCorpusTest, DecodedCorpusImagesMatchStbOnEveryPath) {
  const std::filesystem::path dir = std::filesystem::path(TONVIK_CORPUS_DIR) / "images";
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no image corpus at " << dir;
  int compared = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    tonvik::codec::decoded d = tonvik::codec::decode_file(entry.path().string());
    if (d.status != tonvik::codec::decode_status::decoded || d.image.pixel_count() > 4'000'000) continue;
    image im{d.image.width, d.image.height,
             bytes(d.image.pixels.get(), d.image.pixels.get() + d.image.pixel_count() * 3)};
    expect_same(im, tonvik::codec::jpeg_quality_for_width(im.width), entry.path().filename().string());
    ++compared;
  }
  EXPECT_GT(compared, 0);
}

TEST(JpegWriterStreamTest, OutputReachesTheSinkInLargeChunks) {
  const image im = noise(1024, 1024, 9);
  memory_sink sink;
  ASSERT_TRUE(tonvik::codec::write_jpeg(sink, im.rgb.data(), im.width, im.height, 100));
  ASSERT_GE(sink.sizes.size(), 3u);
  // Headers first, then whole chunks; only the last one may be short.
  for (std::size_t i = 1; i + 1 < sink.sizes.size(); ++i)
    EXPECT_GE(sink.sizes[i], 16u * 1024u) << "put " << i;
  EXPECT_LT(sink.sizes.size(), sink.out.size() / (16 * 1024) + 3);
}

TEST(JpegWriterStreamTest, ASinkThatRefusesStopsTheWriter) {
  const image im = noise(700, 500, 4);
  for (std::size_t budget : {std::size_t{0}, std::size_t{100}, std::size_t{200'000}}) {
    failing_sink sink(budget);
    EXPECT_FALSE(tonvik::codec::write_jpeg(sink, im.rgb.data(), im.width, im.height, 100)) << budget;
    failing_sink again(budget);
    tonvik::codec::write_jpeg(again, im.rgb.data(), im.width, im.height, 100);
    EXPECT_EQ(sink.calls, again.calls) << "no put after the first refusal";
  }
}

TEST(JpegWriterArgumentsTest, UnwritableArgumentsWriteNothing) {
  const image im = noise(16, 16, 1);
  memory_sink sink;
  EXPECT_FALSE(tonvik::codec::write_jpeg(sink, nullptr, 16, 16, 90));
  EXPECT_FALSE(tonvik::codec::write_jpeg(sink, im.rgb.data(), 0, 16, 90));
  EXPECT_FALSE(tonvik::codec::write_jpeg(sink, im.rgb.data(), 16, -1, 90));
  EXPECT_FALSE(tonvik::codec::write_jpeg(sink, im.rgb.data(), 65536, 1, 90));
  EXPECT_TRUE(sink.out.empty());
}

TEST(JpegWriterArgumentsTest, TheLargestSideAHeaderHoldsIsWritten) {
  const image im = photo(65535, 1, 8);
  memory_sink sink;
  ASSERT_TRUE(tonvik::codec::write_jpeg(sink, im.rgb.data(), im.width, im.height, 100));
  EXPECT_SAME_BYTES(stb_bytes(im, 100), sink.out, "65535x1");
}

}  // namespace
