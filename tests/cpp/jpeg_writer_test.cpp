// The JPEG writer against stb_image_write's, byte for byte, on every ISA
// path this CPU runs. Float-order faults (a fused multiply-add, a regrouped
// sum, another rounding) change only a few coefficients of a real picture, so
// the differential covers a large photo-like image and real files as well as
// noise, every small size and the edge cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "encode/jpeg_writer.hpp"
#include "image_codec.hpp"
#include "memory_sink.hpp"
#include "stb_reference.hpp"
#include "test_inputs.hpp"

namespace {

namespace cpu = tonvik::cpu;
using tonvik_test::bytes;
using tonvik_test::memory_sink;

struct image {
  int width = 0;
  int height = 0;
  bytes rgb;
  unsigned char* at(int x, int y) { return rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3; }
};

bytes stb_bytes(const image& im, int quality) {
  bytes out = tonvik_test::stb_jpeg(im.rgb.data(), im.width, im.height, quality);
  EXPECT_FALSE(out.empty()) << "stb refused " << im.width << "x" << im.height;
  return out;
}

// Lends each strip in a buffer made for it alone and freed at the next call
// (reading a row not lent is an ASan error); checks that every row is asked
// for once, in order, in strips of the writer's unit. Fails from `fail_at` on.
struct strip_copies final : tonvik::codec::row_source {
  strip_copies(const image& im, int quality, int fail_at = INT_MAX)
      : im(im), unit((quality ? quality : 90) <= 90 ? 16 : 8), fail_at(fail_at) {}
  const unsigned char* next_rows(int first, int count) override {
    EXPECT_EQ(first, next_first);
    EXPECT_EQ(count, std::min(unit, im.height - first));
    next_first = first + count;
    if (++lent == fail_at) return nullptr;
    const auto* from = im.rgb.data() + static_cast<std::size_t>(first) * im.width * 3;
    strip = bytes(from, from + static_cast<std::size_t>(count) * im.width * 3);
    return strip.data();
  }
  const image& im;
  int unit, fail_at, next_first = 0, lent = 0;
  bytes strip;
};

bytes our_bytes(cpu::isa isa, const image& im, int quality) {
  memory_sink sink;
  strip_copies rows(im, quality);
  EXPECT_TRUE(tonvik::codec::write_jpeg_with(isa, sink, rows, im.width, im.height, quality));
  EXPECT_EQ(rows.next_first, im.height);
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

image filled(int width, int height, std::array<unsigned char, 3> colour) {
  image im{width, height, bytes(static_cast<std::size_t>(width) * height * 3)};
  for (std::size_t i = 0; i < im.rgb.size(); ++i) im.rgb[i] = colour[i % 3];
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
    const bytes actual = our_bytes(isa, im, quality);
    if (actual != expected)
      ADD_FAILURE() << what << " " << im.width << "x" << im.height << " quality " << quality << " on "
                    << cpu::name_of(isa) << ": " << first_difference(expected, actual);
  }
}

// Stands for the pipeline's own setting, 3 x the image's width.
constexpr int pipeline_quality = INT_MIN;

struct writer_case {
  const char* name;
  std::vector<image> (*images)();
  std::vector<int> qualities;
};

// Real pictures from the optional corpus, as the loader decodes them.
std::vector<image> corpus_images() {
  std::vector<image> images;
  const std::filesystem::path dir = tonvik_test::corpus_dir("images");
  if (!std::filesystem::is_directory(dir)) return images;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    tonvik::codec::decoded d = tonvik::codec::decode_file(entry.path().string());
    if (d.status != tonvik::codec::decode_status::decoded || d.image.pixel_count() > 4'000'000) continue;
    const unsigned char* pixels = d.image.pixels.get();
    images.push_back({d.image.width, d.image.height, bytes(pixels, pixels + d.image.pixel_count() * 3)});
  }
  return images;
}

const writer_case writer_cases[] = {
    // The pipeline's setting on a 12 MP photograph: quality 100, 4:4:4.
    {"large_photo", [] { return std::vector<image>{photo(4000, 3000, 2026)}; }, {pipeline_quality}},
    {"photo", [] { return std::vector<image>{photo(1001, 667, 7)}; }, {1, 10, 50, 75, 90, 91, 95, 99, 100}},
    {"noise", [] { return std::vector<image>{noise(1203, 805, 11)}; }, {100, 93, 90, 50, 1}},
    // Half noise, half picture: both dense and sparse blocks at every size.
    {"every_size_to_40",
     [] {
       std::vector<image> images;
       for (int height = 1; height <= 40; ++height)
         for (int width = 1; width <= 40; ++width) {
           image im = photo(width, height, static_cast<std::uint32_t>(width * 64 + height));
           const image grain = noise(width, height, static_cast<std::uint32_t>(width + 1000 * height));
           std::copy(grain.rgb.begin(), grain.rgb.begin() + grain.rgb.size() / 2, im.rgb.begin());
           images.push_back(std::move(im));
         }
       return images;
     },
     {1, 50, 90, 91, 99, 100, pipeline_quality}},
    {"edge_sides",
     [] {
       std::vector<image> images;
       for (int side : {1, 2, 7, 8, 9, 15, 16, 17, 33, 65, 129, 257, 1000, 4097})
         for (const auto& [width, height] : {std::pair{1, side}, std::pair{side, 1}, std::pair{side, 3}})
           images.push_back(photo(width, height, static_cast<std::uint32_t>(side)));
       return images;
     },
     {90, 100}},
    {"blocks_plus_one",
     [] {
       std::vector<image> images;
       for (const auto& [width, height] :
            {std::pair{8 * 13 + 1, 8 * 7 + 1}, std::pair{16 * 9 + 1, 16 * 5 + 1},
             std::pair{8 * 40 + 1, 16 * 3 + 1}, std::pair{16 * 21 + 1, 8 * 11 + 1}})
         images.push_back(noise(width, height, static_cast<std::uint32_t>(width * height)));
       return images;
     },
     {80, 90, 91, 100}},
    // Flat colours, 0/255 checkerboards and random 0/255 bytes: the largest
    // coefficients there are.
    {"flat_and_extreme",
     [] {
       std::vector<image> images;
       for (const auto& c : {std::array<unsigned char, 3>{0, 0, 0},
                             {255, 255, 255},
                             {128, 128, 128},
                             {255, 0, 0},
                             {0, 0, 255},
                             {255, 255, 0},
                             {0, 255, 255}})
         images.push_back(filled(37, 29, c));
       for (int cell : {1, 2, 3, 4, 8, 16}) images.push_back(checkerboard(67, 45, cell));
       images.push_back(noise(96, 80, 3));
       for (auto& b : images.back().rgb) b = b & 0x80 ? 255 : 0;
       return images;
     },
     {1, 50, 90, 100}},
    // Read as stb reads it: 0 means 90, the rest clamped to 1..100.
    {"quality_outside_1_to_100",
     [] { return std::vector<image>{photo(40, 24, 5)}; },
     {0, -5, 101, 1000, 1 << 30}},
    {"largest_side_a_header_holds", [] { return std::vector<image>{photo(65535, 1, 8)}; }, {100}},
    {"corpus", corpus_images, {pipeline_quality}},
};

class WriterMatchesStb : public ::testing::TestWithParam<writer_case> {};

TEST_P(WriterMatchesStb, OnEveryPath) {
  const std::vector<image> images = GetParam().images();
  if (images.empty()) GTEST_SKIP() << "no image corpus at " << tonvik_test::corpus_dir("images");
  for (std::size_t i = 0; i < images.size() && !HasFailure(); ++i) {
    for (int quality : GetParam().qualities) {
      expect_same(images[i], quality == pipeline_quality ? 3 * images[i].width : quality,
                  GetParam().name + (" image " + std::to_string(i)));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, WriterMatchesStb, ::testing::ValuesIn(writer_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(JpegWriterStreamTest, OutputReachesTheSinkInLargeChunks) {
  const image im = noise(1024, 1024, 9);
  memory_sink sink;
  ASSERT_TRUE(tonvik::codec::write_jpeg(sink, im.rgb.data(), im.width, im.height, 100));
  ASSERT_GE(sink.sizes.size(), 3u);
  // Headers first, then whole chunks; only the last one may be short.
  for (std::size_t i = 1; i + 1 < sink.sizes.size(); ++i)
    EXPECT_GE(sink.sizes[i], 16u * 1024u) << "commit " << i;
  EXPECT_LT(sink.sizes.size(), sink.out.size() / (16 * 1024) + 3);
}

TEST(JpegWriterStreamTest, ASinkThatRefusesOrASourceThatFailsStopsTheWriter) {
  const image im = noise(700, 500, 4);
  for (std::size_t limit : {std::size_t{0}, std::size_t{100}, std::size_t{200'000}}) {
    memory_sink sink(limit);
    EXPECT_FALSE(tonvik::codec::write_jpeg(sink, im.rgb.data(), im.width, im.height, 100)) << limit;
    EXPECT_EQ(sink.calls, static_cast<int>(sink.sizes.size()) + 1)
        << "no reservation after the first refusal";
  }
  for (int fail_at : {1, 30, 63}) {  // the first, a middle and the last of 63 strips
    memory_sink sink;
    strip_copies rows(im, 100, fail_at);
    EXPECT_FALSE(tonvik::codec::write_jpeg(sink, rows, im.width, im.height, 100)) << fail_at;
    EXPECT_EQ(rows.lent, fail_at) << "no strip asked for after the failure";
    EXPECT_NE(sink.out.back(), 0xD9) << "no end marker after " << fail_at;
  }
}

TEST(JpegWriterStreamTest, OurJpegDecodesToItsSizeAndColour) {
  const image grey = filled(31, 7, {200, 200, 200});
  memory_sink sink;
  ASSERT_TRUE(tonvik::codec::write_jpeg(sink, grey.rgb.data(), grey.width, grey.height, 3 * grey.width));
  const tonvik::codec::decoded back = tonvik::codec::decode_memory(sink.out.data(), sink.out.size());
  ASSERT_EQ(back.status, tonvik::codec::decode_status::decoded);
  EXPECT_EQ(back.image.width, 31);
  EXPECT_EQ(back.image.height, 7);
  EXPECT_NEAR(back.image.pixels.get()[0], 200, 2);
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

}  // namespace
