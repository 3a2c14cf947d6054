#include "apply_pipeline.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bridge_test_files.hpp"
#include "image_codec.hpp"
#include "lut_open_error.hpp"
#include "status.hpp"
#include "stb_reference.hpp"

namespace {

using namespace tonvik::bridge;
using namespace tonvik::codec;
using namespace tonvik::bridge::testing;

class ApplyPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override { write_file(lut_path, identity_cube(33)); }

  scratch_dir dir;
  const std::string lut_path = dir.file("identity.cube");
};

// The buffer handed to the writer, checked byte for byte: the truncations in
// the reader and the mapper make the identity LUT lose a step here and there.
// Two rows of three named pixels: each must land on its own mapped value. A
// larger image (the LUT kernel's road), lent in strips of 8 rows and a short
// one, holds map_pixels's bytes.
TEST_F(ApplyPipelineTest, WholeImageIsMappedExactlyInRowOrder) {
  const auto table = read_lut(lut_path);
  std::vector<std::uint8_t> large(97 * 45 * 3);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i * 7 + i / 291);
  using named = std::vector<std::uint8_t>;
  for (auto [width, height, pixels, expected] :
       {std::tuple{97, 45, large, named{}},
        std::tuple{3, 2, named{128, 128, 128, 64, 128, 192, 255, 255, 255, 255, 0, 0, 0, 0, 0, 255, 255, 0},
                   named{127, 127, 127, 63, 127, 191, 255, 255, 254, 255, 0, 0, 0, 0, 0, 255, 255, 0}}}) {
    const std::string image = ppm(width, height, pixels);
    const auto reader = tonvik::codec::read_decoded(
        decode_memory(reinterpret_cast<const unsigned char*>(image.data()), image.size()));
    ASSERT_EQ(reader->failure(), tonvik::codec::reader_failure::none);
    const vireth::image::pixel_mapper mapper(table, pixels.size() / 3);
    graded_rows rows(mapper, *reader);
    vireth::image::map_pixels(table, pixels.data(), pixels.size() / 3);
    EXPECT_TRUE(expected.empty() || pixels == expected);
    const std::size_t row_bytes = static_cast<std::size_t>(width) * 3;
    for (int y = 0, count = std::min(8, height); y < height; y += count, count = std::min(8, height - y)) {
      const unsigned char* strip = rows.next_rows(y, count);
      EXPECT_TRUE(std::equal(strip, strip + count * row_bytes, pixels.begin() + y * row_bytes)) << width;
    }
  }
}

TEST_F(ApplyPipelineTest, UnopenableLutCarriesPathAndErrno) {
  struct unopenable {
    std::string path;
    int error_number;
  };
  const std::vector<unopenable> cases = {{dir.file("missing.cube"), ENOENT}, {dir.path().string(), EISDIR}};
  for (const auto& c : cases) {
    try {
      read_lut(c.path);
      ADD_FAILURE() << c.path << ": no exception";
    } catch (const lut_open_error& error) {
      EXPECT_STREQ(error.what(), ("failed to open the file: " + c.path).c_str());
      EXPECT_EQ(error.error_number(), c.error_number) << c.path;
    }
  }
}

TEST_F(ApplyPipelineTest, UnreadableLutIsPermissionDenied) {
  as_unprivileged([] {
    const scratch_dir own;
    const std::string locked = own.file("locked.cube");
    write_file(locked, identity_cube(2));
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    try {
      read_lut(locked);
      ADD_FAILURE() << "no exception";
    } catch (const lut_open_error& error) {
      EXPECT_STREQ(error.what(), ("failed to open the file: " + locked).c_str());
      EXPECT_EQ(error.error_number(), EACCES);
    }
  });
}

TEST_F(ApplyPipelineTest, UnsamplableAndMalformedLutsAreRejected) {
  struct malformed {
    const char* text;
    const char* message;
  };
  const std::vector<malformed> cases = {
      {"", "[lut.exception.parse_error.1] parse error: The lut size must be at least 2"},
      {"LUT_3D_SIZE 0\n", "[lut.exception.parse_error.1] parse error: The lut size must be at least 2"},
      {"LUT_3D_SIZE 1\n0.5 0.5 0.5\n",
       "[lut.exception.parse_error.1] parse error: The lut size must be at least 2"},
      {"LUT_3D_SIZE 2\n0 0 0\n",
       "[lut.exception.parse_error.0] parse error: The lut element does not match the size of lut"},
  };
  for (const auto& c : cases) {
    write_file(dir.file("bad.cube"), c.text);
    try {
      read_lut(dir.file("bad.cube"));
      ADD_FAILURE() << c.text << ": no exception";
    } catch (const vireth::image::detail::parse_error& error) {
      EXPECT_STREQ(error.what(), c.message);
    }
  }
}

TEST_F(ApplyPipelineTest, ImageFailuresLeaveOutputUntouched) {
  write_file(dir.file("notes.txt"), "not an image\n");
  // Headers alone: the size is refused before any pixel data is wanted.
  write_file(dir.file("too_wide.ppm"), "P6\n65501 1\n255\n");
  write_file(dir.file("too_many.ppm"), "P6\n65500 2733\n255\n");
  // An empty image is not too large: it is no image at all.
  write_file(dir.file("empty.ppm"), "P6\n0 5\n255\n");
  struct failing_image {
    std::string path;
    const char* status;
  };
  const std::vector<failing_image> cases = {
      {dir.file("missing.ppm"), status::image_not_found},
      {"", status::image_not_found},
      {dir.file("notes.txt"), status::image_not_found},
      {dir.file("too_wide.ppm"), status::image_too_large},
      {dir.file("too_many.ppm"), status::image_too_large},
      {dir.file("empty.ppm"), status::image_not_found},
  };
  const auto table = read_lut(lut_path);
  const std::string output = dir.file("out.jpg");
  write_file(output, "previous contents");
  for (const auto& c : cases) {
    EXPECT_STREQ(apply_to_file(table, c.path, output), c.status) << c.path;
    EXPECT_EQ(read_file(output), "previous contents") << c.path;
  }
}

TEST_F(ApplyPipelineTest, SuccessWritesJpegEvenOverTheInput) {
  const std::string image = dir.file("in.ppm");
  write_file(image, grey_ppm(40, 20));
  const auto table = read_lut(lut_path);
  EXPECT_STREQ(apply_to_file(table, image, image), status::ok);
  const std::string bytes = read_file(image);
  EXPECT_TRUE(is_jpeg(bytes));
  decoded back = decode_memory(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  EXPECT_EQ(back.image.width, 40);
  EXPECT_EQ(back.image.height, 20);
}

TEST_F(ApplyPipelineTest, UnwritableOutputIsReported) {
  const std::string image = dir.file("in.ppm");
  write_file(image, grey_ppm(8, 8));
  write_file(dir.file("plain"), "x");
  const auto table = read_lut(lut_path);
  for (const std::string& output : {std::string("/dev/full"), dir.file("no/such/dir/out.jpg"),
                                    dir.file("plain/out.jpg"), dir.path().string(), dir.file("dir-slash/")}) {
    EXPECT_STREQ(apply_to_file(table, image, output), status::output_not_written) << output;
  }
  EXPECT_EQ(read_file(dir.file("plain")), "x");
}

// Damage that only shows after rows have gone out (a PNG cut inside its
// data, an unknown critical chunk after it) still wins over every kind of
// output, and leaves each as it was: a file keeps its contents, no new file
// appears, a FIFO receives nothing. A stream holding more rows than its
// header declares is read on the way the whole decode reads it. The image is
// large enough to be read as it is decoded.
TEST_F(ApplyPipelineTest, DamageFoundLateWinsOverEveryOutput) {
  constexpr int width = 1500, height = 1000;
  std::vector<unsigned char> rgb(std::size_t(width) * height * 3);
  for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
  const auto png = tonvik_test::stb_png(rgb.data(), width, height);
  const std::string whole(png.begin(), png.end());
  const std::string iend = whole.substr(whole.size() - 12);
  const std::string unknown_critical = std::string("\0\0\0\0ABCD\0\0\0\0", 12);
  std::string taller = whole;
  taller[23] = static_cast<char>((height - 1) & 0xff);  // the header's height, low byte: one row fewer
  write_file(dir.file("cut.png"), whole.substr(0, whole.size() * 3 / 5));
  write_file(dir.file("critical.png"), whole.substr(0, whole.size() - 12) + unknown_critical + iend);
  write_file(dir.file("taller.png"), taller);
  const auto shorter = tonvik_test::stb_png(rgb.data(), width, height - 1);
  write_file(dir.file("shorter.png"), std::string(shorter.begin(), shorter.end()));
  ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
  write_file(dir.file("kept.jpg"), "previous contents");

  const auto table = read_lut(lut_path);
  for (const char* image : {"cut.png", "critical.png"}) {
    const int pipe_reader = ::open(dir.file("pipe").c_str(), O_RDONLY | O_NONBLOCK);
    for (const std::string& output : {dir.file("kept.jpg"), dir.file("new.jpg"), dir.file("pipe"),
                                      dir.file("no/such/dir/out.jpg"), std::string("/dev/full")}) {
      EXPECT_STREQ(apply_to_file(table, dir.file(image), output), status::image_not_found) << image << output;
    }
    char byte = 0;
    EXPECT_LE(::read(pipe_reader, &byte, 1), 0) << image;
    ::close(pipe_reader);
    EXPECT_EQ(read_file(dir.file("kept.jpg")), "previous contents") << image;
    EXPECT_NE(::access(dir.file("new.jpg").c_str(), F_OK), 0) << image;
  }
  EXPECT_STREQ(apply_to_file(table, dir.file("taller.png"), dir.file("taller.jpg")), status::ok);
  EXPECT_STREQ(apply_to_file(table, dir.file("shorter.png"), dir.file("shorter.jpg")), status::ok);
  EXPECT_EQ(read_file(dir.file("taller.jpg")), read_file(dir.file("shorter.jpg")));
}

}  // namespace
