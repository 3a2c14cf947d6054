#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "lut.hpp"
#include "test_inputs.hpp"

namespace {

using tonvik_test::parse_text;
using vireth::image::lut;
using vireth::image::detail::parse_error;
using vireth::image::detail::precondition_error;

constexpr const char* count_mismatch =
    "[lut.exception.parse_error.0] parse error: The lut element does not match the size of lut";

// A known-good 2-point table: line e has red e/8 (bytes 0, 31, 63, ... 223),
// green 0.5 and blue 1, so each strip texel names the line it came from.
std::vector<std::string> sample_lines() {
  std::vector<std::string> lines = {"# sample", "TITLE sample", "DOMAIN_MIN 0 0 0", "DOMAIN_MAX 1 1 1",
                                    "LUT_3D_SIZE 2"};
  for (int e = 0; e < 8; ++e) lines.push_back(std::to_string(e * 0.125) + " 0.5 1");
  return lines;
}

std::string join(const std::vector<std::string>& lines, const char* end = "\n") {
  std::string text;
  for (const auto& line : lines) text += line + end;
  return text;
}

std::string parse_failure(const std::string& text) {
  try {
    parse_text(text);
  } catch (const parse_error& e) {
    return e.what();
  }
  return "no error";
}

// Red byte of the texel for entry (r, g, b) of a 2-point table.
std::uint8_t red_at(const lut& t, unsigned r, unsigned g, unsigned b) {
  return t.data[3 * (r + 2 * b + 4 * g)];
}

TEST(ParseCube, SampleFillsShapeTitleAndStrip) {
  const lut t = parse_text(join(sample_lines()));
  EXPECT_EQ(t.title, "sample");
  EXPECT_EQ(t.width, 4u);
  EXPECT_EQ(t.height, 2u);
  EXPECT_EQ(t.channel, 3);
  ASSERT_EQ(t.data.size(), 24u);
  // Line 5 is (r 1, g 0, b 1): column 3, row 0, bytes 9..11.
  EXPECT_EQ(t.data[9], 159);
  EXPECT_EQ(t.data[10], 127);
  EXPECT_EQ(t.data[11], 255);
  // Line 2 is (r 0, g 1, b 0): column 0, row 1, bytes 12..14.
  EXPECT_EQ(t.data[12], 63);
  // The whole strip in memory order: rows of green, tiles of blue, red inside.
  const std::vector<std::uint8_t> reds = {0, 31, 127, 159, 63, 95, 191, 223};
  for (std::size_t i = 0; i < reds.size(); ++i) EXPECT_EQ(t.data[3 * i], reds[i]) << i;
}

TEST(ParseCube, ThreePointStripPlacesEveryEntry) {
  std::string text = "LUT_3D_SIZE 3\n";
  for (int e = 0; e < 27; ++e) text += std::to_string(e * 0.03125) + " 0 0\n";  // exact binary fractions
  const lut t = parse_text(text);
  ASSERT_EQ(t.width, 9u);
  for (unsigned b = 0; b < 3; ++b)
    for (unsigned g = 0; g < 3; ++g)
      for (unsigned r = 0; r < 3; ++r) {
        const unsigned e = r + 3 * g + 9 * b;
        EXPECT_EQ(t.data[3 * (r + 3 * b + 9 * g)], std::uint8_t(float(e) * 0.03125f * 255.0f)) << e;
      }
}

struct ByteCase {
  const char* value;
  std::uint8_t byte;
};

void PrintTo(const ByteCase& c, std::ostream* os) { *os << c.value; }

class ByteConversion : public testing::TestWithParam<ByteCase> {};

TEST_P(ByteConversion, ClampsScalesAndTruncates) {
  const lut t = parse_text("LUT_3D_SIZE 1\n" + std::string(GetParam().value) + " 0 0\n");
  ASSERT_EQ(t.data.size(), 3u);
  EXPECT_EQ(t.data[0], GetParam().byte);
}

INSTANTIATE_TEST_SUITE_P(Values, ByteConversion,
                         testing::Values(ByteCase{"0.5", 127}, ByteCase{"0.333333", 84},
                                         ByteCase{"0.999", 254}, ByteCase{"1", 255}, ByteCase{"1.5", 255},
                                         ByteCase{"7.8", 255}, ByteCase{"0", 0}, ByteCase{"-0.2", 0},
                                         ByteCase{".75", 191}, ByteCase{"2.01e-05", 0},
                                         ByteCase{"1e999", 255}));

TEST(ParseCube, CountMismatchThrowsIdZeroAndKeepsTheOldStrip) {
  lut t = parse_text(join(sample_lines()));
  const std::vector<std::uint8_t> before = t.data;
  for (const int count : {7, 9}) {
    auto lines = sample_lines();
    lines.resize(5);
    lines[1] = "TITLE changed";
    for (int e = 0; e < count; ++e) lines.push_back("0 0 0");
    std::istringstream stream(join(lines));
    try {
      vireth::image::parse_cube(t, stream);
      FAIL() << count << " lines passed";
    } catch (const parse_error& e) {
      EXPECT_STREQ(e.what(), count_mismatch);
      EXPECT_EQ(e.id, 0);
      EXPECT_EQ(e.position, 0u);
    }
    EXPECT_EQ(t.data, before);
    EXPECT_EQ(t.height, 2u);
    EXPECT_EQ(t.title, "changed");  // the title is set while reading
  }
}

TEST(ParseCube, EmptyOrHeaderOnlyGivesAZeroSizedTable) {
  for (const char* text : {"", "# only a comment\n", "TITLE t\nDOMAIN_MIN 0 0 0\n", "LUT_3D_SIZE 0\n"}) {
    const lut t = parse_text(text);
    EXPECT_EQ(t.width, 0u) << text;
    EXPECT_EQ(t.height, 0u) << text;
    EXPECT_EQ(t.channel, 3) << text;
    EXPECT_TRUE(t.data.empty()) << text;
  }
}

// Each case changes one line of the sample and states the table it must give.
struct LineCase {
  const char* name;
  std::size_t index;  // line of sample_lines() to replace (5 is the first data line)
  const char* replacement;
  std::vector<std::uint8_t> first_texel;  // texel of line 0, or empty when the count must fail
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class OneLineChanged : public testing::TestWithParam<LineCase> {};

TEST_P(OneLineChanged, GivesTheStatedTable) {
  const LineCase& c = GetParam();
  auto lines = sample_lines();
  lines[c.index] = c.replacement;
  if (c.first_texel.empty()) {
    EXPECT_EQ(parse_failure(join(lines)), count_mismatch);
    return;
  }
  const lut t = parse_text(join(lines));
  EXPECT_EQ(std::vector<std::uint8_t>(t.data.begin(), t.data.begin() + 3), c.first_texel);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, OneLineChanged,
    testing::Values(LineCase{"trailing_remark_ignored", 5, "0.5 0.25 0 # remark", {127, 63, 0}},
                    LineCase{"extra_numbers_ignored", 5, "0.5 0.25 0 0.9", {127, 63, 0}},
                    // Before any data line the components start at 0.
                    LineCase{"first_line_two_numbers", 5, "0.5 0.25", {127, 63, 0}},
                    LineCase{"first_line_blank_is_data", 5, "   ", {0, 0, 0}},
                    LineCase{"first_line_word_reads_zero", 5, "abc 0.5 1", {0, 0, 0}},
                    LineCase{"tab_separated", 5, "0.5\t0.25\t1", {127, 63, 255}},
                    LineCase{"domain_values_ignored", 2, "DOMAIN_MIN -1 -2 -3", {0, 127, 255}},
                    LineCase{"earlier_size_line_loses", 0, "LUT_3D_SIZE 3", {0, 127, 255}},
                    LineCase{"size_keyword_is_a_prefix", 4, "LUT_3D_SIZEX 2", {0, 127, 255}},
                    LineCase{"lower_case_size_is_data", 4, "lut_3d_size 2", {}},
                    LineCase{"indented_comment_is_data", 0, "  # note", {}},
                    LineCase{"unreadable_size_is_zero", 4, "LUT_3D_SIZE x", {}},
                    LineCase{"negative_size_wraps", 4, "LUT_3D_SIZE -2", {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseCube, CarryOverUsesTheLatestValues) {
  // Line 1 supplies only red: green and blue repeat line 0's. A line of
  // blanks repeats all three. A word reads as red 0 and stops the line.
  const lut t = parse_text("LUT_3D_SIZE 2\n0 0.5 1\n0.25\n \nxyz 1 1\n0 0 0\n0 0 0\n0 0 0\n0 0 0\n");
  const std::vector<std::uint8_t> expected = {0, 127, 255, 63, 127, 255};
  EXPECT_EQ(std::vector<std::uint8_t>(t.data.begin(), t.data.begin() + 6), expected);
  // Entry 2 (r 0, g 1, b 0) sits at row 1; entry 3 (r 1, g 1, b 0) beside it.
  EXPECT_EQ(red_at(t, 0, 1, 0), 63);
  EXPECT_EQ(t.data[12 + 1], 127);
  EXPECT_EQ(red_at(t, 1, 1, 0), 0);
  EXPECT_EQ(t.data[15 + 1], 127);
}

TEST(ParseCube, MissingSizeNumberKeepsThePreviousSize) {
  auto lines = sample_lines();
  lines.push_back("LUT_3D_SIZE");
  EXPECT_EQ(parse_text(join(lines)).height, 2u);
}

TEST(ParseCube, SizeLineMayFollowTheData) {
  auto lines = sample_lines();
  lines.erase(lines.begin() + 4);
  lines.push_back("LUT_3D_SIZE 2");
  EXPECT_EQ(parse_text(join(lines)).data, parse_text(join(sample_lines())).data);
}

TEST(ParseCube, TitleKeepsOneTokenAndTheLastTitleWins) {
  EXPECT_EQ(parse_text("TITLE \"A test 3D-LUT.\"\n").title, "\"A");
  EXPECT_EQ(parse_text("TITLE first\nTITLE second\n").title, "second");
  EXPECT_EQ(parse_text("TITLE first\nTITLE\nTITLE   \n").title, "first");
  EXPECT_EQ(parse_text("TITLEX name\n").title, "name");
}

TEST(ParseCube, RefillReplacesTheStripAndKeepsAnUnsetTitle) {
  lut t = parse_text(join(sample_lines()));
  std::istringstream again("LUT_3D_SIZE 1\n1 1 1\n");
  vireth::image::parse_cube(t, again);
  EXPECT_EQ(t.title, "sample");
  EXPECT_EQ(t.height, 1u);
  EXPECT_EQ(t.data, (std::vector<std::uint8_t>{255, 255, 255}));
}

TEST(ParseCube, CrLfEqualsLf) {
  const lut lf = parse_text(join(sample_lines()));
  const lut crlf = parse_text(join(sample_lines(), "\r\n"));
  EXPECT_EQ(crlf.title, lf.title);
  EXPECT_EQ(crlf.height, lf.height);
  EXPECT_EQ(crlf.data, lf.data);
  // Without a final line end the last line still counts.
  std::string text = join(sample_lines());
  text.pop_back();
  EXPECT_EQ(parse_text(text).data, lf.data);
}

TEST(ParseCube, CrAloneIsNotALineEnd) {
  // One long size line: size 2, no data.
  auto lines = sample_lines();
  lines.erase(lines.begin(), lines.begin() + 4);
  EXPECT_EQ(parse_failure(join(lines, "\r")), count_mismatch);
  // Everything after a leading comment is part of the comment.
  EXPECT_EQ(parse_text(join(sample_lines(), "\r")).height, 0u);
}

TEST(ParseCube, ByteOrderMarkMakesTheFirstLineData) {
  // The marked size line is a data line: 9 value triples for a 2-point table.
  EXPECT_EQ(parse_failure("\xEF\xBB\xBF" + join(sample_lines())), count_mismatch);
  auto lines = sample_lines();
  lines[0] = "\xEF\xBB\xBF# comment";
  EXPECT_EQ(parse_failure(join(lines)), count_mismatch);
}

TEST(ParseCube, HugeSizesNeverPassByWrapAround) {
  // 3 * 2048^3 is 2^34 + 2^33: zero modulo 2^32.
  for (const char* size : {"2048", "1626", "65536", "4294967295", "2097152"})
    EXPECT_EQ(parse_failure(std::string("LUT_3D_SIZE ") + size + "\n"), count_mismatch) << size;
}

// A stream of `count` copies of `line`, made as it is read: tables far
// larger than any test should hold as text.
class repeated_lines : public std::streambuf {
 public:
  repeated_lines(std::string head, std::string line, std::size_t count)
      : head_(std::move(head)), line_(std::move(line)), left_(count) {
    setg(head_.data(), head_.data(), head_.data() + head_.size());
  }

 protected:
  int_type underflow() override {
    if (left_ == 0) return traits_type::eof();
    // Many copies per refill, so the reader sees full buffers.
    const std::size_t copies = std::min<std::size_t>(left_, 4096);
    block_.clear();
    for (std::size_t i = 0; i < copies; ++i) block_ += line_;
    left_ -= copies;
    setg(block_.data(), block_.data(), block_.data() + block_.size());
    return traits_type::to_int_type(block_[0]);
  }

 private:
  std::string head_;
  std::string line_;
  std::string block_;
  std::size_t left_;
};

lut parse_repeated(const std::string& head, const std::string& line, std::size_t count) {
  repeated_lines source(head, line, count);
  std::istream stream(&source);
  lut t;
  vireth::image::parse_cube(t, stream);
  return t;
}

TEST(ParseCubeLimits, SizeAbove256IsRefusedWhateverFollows) {
  EXPECT_EQ(parse_failure("LUT_3D_SIZE 257\n"), count_mismatch);
  // Only the last size line counts: a large one replaced is harmless.
  auto lines = sample_lines();
  lines[4] = "LUT_3D_SIZE 4000";
  lines.push_back("LUT_3D_SIZE 2");
  EXPECT_EQ(parse_text(join(lines)).height, 2u);
}

TEST(ParseCubeLimits, The256PointTableIsReadAndOneLineMoreIsRefused) {
  constexpr std::size_t entries = std::size_t{256} * 256 * 256;
  const lut t = parse_repeated("LUT_3D_SIZE 256\n", "0.5 0 1\n", entries);
  EXPECT_EQ(t.height, 256u);
  EXPECT_EQ(t.width, 65536u);
  ASSERT_EQ(t.data.size(), 3 * entries);
  EXPECT_EQ(t.data[3 * entries - 3], 127);
  EXPECT_EQ(t.data[3 * entries - 1], 255);
  try {
    parse_repeated("TITLE endless\n", "0\n", entries + 1);
    FAIL() << "2^24 + 1 data lines were read";
  } catch (const parse_error& e) {
    EXPECT_STREQ(e.what(), count_mismatch);
  }
}

TEST(ParseCubeLimits, EndlessDataEndsAfterTheLargestTable) {
  // Far more lines than any table: the read stops at 2^24 + 1 of them,
  // leaving the rest of the stream unread.
  constexpr std::size_t endless = std::size_t{1} << 40;
  repeated_lines source("", "1 1 1\n", endless);
  std::istream stream(&source);
  lut t;
  EXPECT_THROW(vireth::image::parse_cube(t, stream), parse_error);
  EXPECT_FALSE(stream.eof());
}

TEST(ParseCubeLimits, AtMost2To26LinesOfAnyKindAreRead) {
  // Comments alone never fill the table, so every line counts: a table with
  // 2^26 - 2 comment lines after it is read, one comment more refuses it.
  constexpr std::size_t most = std::size_t{1} << 26;
  for (const std::size_t comments : {most - 2, most - 1}) {
    repeated_lines source("LUT_3D_SIZE 1\n0.5 0.5 0.5\n", "#\n", comments);
    std::istream stream(&source);
    lut t;
    if (comments == most - 2) {
      vireth::image::parse_cube(t, stream);
      EXPECT_EQ(t.data[0], 127);
    } else {
      EXPECT_THROW(vireth::image::parse_cube(t, stream), parse_error);
    }
  }
  // An endless stream of comments ends, the rest of it unread.
  repeated_lines endless("", "#\n", std::size_t{1} << 40);
  std::istream stream(&endless);
  lut t;
  EXPECT_THROW(vireth::image::parse_cube(t, stream), parse_error);
  EXPECT_FALSE(stream.eof());
}

TEST(ParseCubeLimits, LinesUpTo1MiBAreReadAndLongerOnesRefused) {
  constexpr std::size_t longest = std::size_t{1} << 20;
  const std::string table = "LUT_3D_SIZE 1\n0.5 0.5 0.5\n";
  // The line end does not count: a CR LF after the longest line is fine.
  for (const char* end : {"\n", "\r\n"}) {
    EXPECT_EQ(parse_text("#" + std::string(longest - 1, 'x') + end + table).data[0], 127) << end;
    EXPECT_EQ(parse_text(std::string(longest - 11, ' ') + "0.5 0.5 0.5" + end + "LUT_3D_SIZE 1\n").data[2],
              127)
        << end;
  }
  EXPECT_EQ(parse_failure("#" + std::string(longest, 'x') + "\n" + table), count_mismatch);
  EXPECT_EQ(parse_failure(table + std::string(longest + 1, ' ')), count_mismatch);
  // A line without any line end (a device such as /dev/zero) ends the read
  // once it is too long, without being held whole.
  repeated_lines zeros("", std::string(1, '\0'), std::size_t{1} << 40);
  std::istream stream(&zeros);
  lut t;
  EXPECT_THROW(vireth::image::parse_cube(t, stream), parse_error);
}

TEST(ParseCube, StreamMustBeGoodOnEntry) {
  lut t;
  std::istringstream stream("LUT_3D_SIZE 1\n0 0 0\n");
  stream.setstate(std::ios::eofbit);
  try {
    vireth::image::parse_cube(t, stream);
    FAIL();
  } catch (const precondition_error& e) {
    EXPECT_NE(std::string(e.what()).find("stream.good()"), std::string::npos);
  }
}

TEST(ParseCube, IdentityTablesRoundTrip) {
  for (unsigned n : {2u, 17u, 33u}) {
    const lut t = parse_text(tonvik_test::identity_cube(n));
    ASSERT_EQ(t.height, n);
    EXPECT_EQ(t.title, "\"identity\"");
    // The corner entries are exact: 0 and 255.
    EXPECT_EQ(t.data[0], 0);
    EXPECT_EQ(t.data[t.data.size() - 1], 255);
  }
}

// Third-party cube files, read in place when the optional corpus is present.
TEST(CubeCorpus, EveryFileGivesItsExpectedOutcome) {
  const std::filesystem::path dir = tonvik_test::corpus_dir("cube");
  std::ifstream manifest(dir / "MANIFEST.md");
  if (!manifest) GTEST_SKIP() << "no cube corpus at " << dir;
  std::string row;
  int checked = 0;
  while (std::getline(manifest, row)) {
    if (row.rfind("| ", 0) != 0 || row.find(".cube") == std::string::npos) continue;
    const std::string file = row.substr(2, row.find(' ', 2) - 2);
    const std::string expect = row.substr(row.rfind("| ", row.size() - 3) + 2);
    std::ifstream in(dir / file);
    ASSERT_TRUE(in) << file;
    lut t;
    if (expect.rfind("ok", 0) == 0) {
      EXPECT_NO_THROW(vireth::image::parse_cube(t, in)) << file;
      EXPECT_GE(t.height, 2u) << file;
    } else {
      EXPECT_THROW(vireth::image::parse_cube(t, in), parse_error) << file;
    }
    ++checked;
  }
  EXPECT_GE(checked, 19);
}

}  // namespace
