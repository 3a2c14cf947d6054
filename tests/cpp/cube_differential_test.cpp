// The engine's cube reader against the stream-based reference reader.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "cube_differential.hpp"
#include "test_inputs.hpp"

namespace {

using tonvik_test::compare_fields;
using tonvik_test::compare_readers;

// Numbers and near-numbers whose extraction has a rule of its own.
// clang-format off
const std::vector<std::string> tricky_fields = {
    // Exponents and signs without digits, stray points and signs.
    "1e", "1e+", "1e-", "1E", ".", "-", "+", "-.", "+.", "+.5", "-.5e1", ".e5", "e5", "+e5", "1.e5",
    "1.2.3", "..5", "1e5e3", "1e5.5", "5-3", "1e+5+", "1e++5", "--1", "+-1", "1.5f",
    // Hexadecimal, words and separators the stream does not read.
    "0x1A", "0X10", "inf", "-inf", "nan", "INF", "infinity", "1,5", "1_000", "0b1",
    // Zeros, signed zeros, leading zeros.
    "0", "-0", "+0", "-0.0e-0", "000", "0007", "00000.000001", "-00012", "0.", "0e0",
    // Float range edges: the largest float, just beyond it, overflow, the
    // smallest subnormal, underflow to zero and its sign.
    "3.4028235e38", "3.40282347e38", "3.40282357e38", "-3.40282357e38", "1e39", "-1e39", "1e999999999999",
    "340282356779733661637539395458142568448", "1e-40", "1.4e-45", "7e-46", "7.1e-46", "1e-50", "-1e-50",
    "1e-999999999999", "0.0000000000000000000000000000000000000000000000001",
    // Rounding: exact ties go to even, a trailing digit breaks the tie.
    "1.000000059604644775390625", "1.000000059604644775390625001", "1.00000017881393432617187499",
    "0.1", "0.2", "0.3333333333333333333333333333333333", "16777217", "16777219",
    "123456789012345678901234567890e-20",
    // Where the short-decimal shortcut ends: 2^24 as digits, 10^10 as divisor.
    "1677720.9", "16777.216", "16777.217", "0.16777219", "0.0000000001", "0.00000000001", "0.999999999",
    "9999999999", "0.333333", "0.066667", "1.000000", "-0.500000",
    // Fractions of seven to ten digits, where eight are read in one step.
    "0.1234567", "0.12345678", "1.23456789", "0.123456789", "0.1234567891", "0.00000001", "9.99999999",
    "16.777216", "0.16777216", "5.", "5.e", ".12345678e1", "0.12345678.9", "0.1234567\t",
    // Whitespace: every kind, leading and between fields.
    "  \t1\v2\f3\r", "1\t2\t3", "1 2", "", "   ", "\r", "\v\f", "1  2  3  4  5",
    // Unsigned edges: the 32-bit limit, wrap of a minus sign, overflow.
    "4294967295", "4294967296", "-5", "-0", "+7", "0x10", "99999999999999999999", "-4294967295",
    "-4294967296", "1.5", "65 33", "33abc", "+", "- 5",
    // Bytes outside ASCII and a NUL inside the line.
    std::string("1\0002 3", 6), "\xef\xbb\xbf" "1 2 3", "1\xa0" "2 3", "\x80\xff",
};
// clang-format on

TEST(CubeFields, TrickyFieldsReadAsTheStreamReadsThem) {
  for (const std::string& field : tricky_fields) {
    for (const std::string& line :
         {field, field + " 0.5 0.25", "0.5 " + field + " 0.25", "x " + field, "0.5 0.25 " + field}) {
      EXPECT_EQ(compare_fields(line), "");
    }
  }
}

TEST(CubeReader, TrickyDataLinesGiveTheReferenceTable) {
  // Each field as a data line of a 2-point table, between ordinary lines, so
  // that carried-over components and the count check come into play.
  for (const std::string& field : tricky_fields) {
    std::string text = "LUT_3D_SIZE 2\n0.1 0.2 0.3\n";
    for (int e = 0; e < 6; ++e) text += field + (e % 2 ? " 0.75\n" : "\n");
    text += "0.9 " + field + "\n";
    EXPECT_EQ(compare_readers(text), "") << field;
    EXPECT_EQ(compare_readers("TITLE " + field + "\nLUT_3D_SIZE " + field + "\n"), "") << field;
  }
}

TEST(CubeReader, LineEndsAndKeywordsGiveTheReferenceTable) {
  const std::vector<std::string> texts = {
      "",
      "\n",
      "\r\n",
      "\r",
      "LUT_3D_SIZE 1\n0 0 0",
      "LUT_3D_SIZE 1\n0 0 0\r",
      "LUT_3D_SIZE 1\r\n0.5 0.5 0.5\r\n",
      "LUT_3D_SIZE 1\r\r\n0.5 0.5 0.5\r\n",
      "LUT_3D_SIZE 1\n\r\n0.5\r0.5 0.5\n",
      "LUT_3D_SIZE\nLUT_3D_SIZE 1\nLUT_3D_SIZE\n1 1 1\n",
      "LUT_3D_SIZE 2\nLUT_3D_SIZEX 1\n1 1 1\n",
      "LUT_3D_SIZE 1\nLUT_3D_SIZE x\n1 1 1\n",
      "LUT_3D_SIZE 1\nLUT_3D_SIZE\t\n1 1 1\n",
      "TITLE\nTITLE \"a b\"\nTITLEX y z\nTITLE\t \nLUT_3D_SIZE 1\n1 1 1\n",
      "TITLE a\nTITLE\n",
      "TITL a\nLUT_3D_SIZ 1\n#x\n  #y\nDOMAIN_MIN\nDOMAIN_MAXIMUM 9\nDOMAIN_MI 1\nlut_3d_size 1\n",
      "\xef\xbb\xbfLUT_3D_SIZE 1\n0 0 0\n",
      std::string("LUT_3D_SIZE 1\n\0 1 1\n", 20),
      std::string("TITLE a\0b c\nLUT_3D_SIZE 0\n", 26),
  };
  for (const std::string& text : texts) EXPECT_EQ(compare_readers(text), "");
  for (unsigned n : {2u, 5u, 17u}) EXPECT_EQ(compare_readers(tonvik_test::identity_cube(n)), "") << n;
}

TEST(CubeReader, LinesLongerThanOneReadGiveTheReferenceTable) {
  // Lines cut by the reader's 64 KiB buffer, with the cut on every kind of
  // byte: inside a number, on the CR before an LF, on the LF itself.
  for (std::size_t pad : {65536u - 20u, 65536u - 14u, 65536u - 13u, 65536u - 12u, 200000u}) {
    std::string text = "LUT_3D_SIZE 1\n# " + std::string(pad, 'x') + "\r\n0.25 0.5 0.75\r\n";
    EXPECT_EQ(compare_readers(text), "") << pad;
    text = "LUT_3D_SIZE 1\n" + std::string(pad, ' ') + "0.25 0.5 0.75\r\n";
    EXPECT_EQ(compare_readers(text), "") << pad;
  }
}

TEST(CubeReader, LinesAroundTheLongestReadGiveTheReferenceResult) {
  // Lengths on both sides of 1 MiB, counted with and without a CR, and a last
  // line without any line end.
  constexpr std::size_t longest = std::size_t{1} << 20;
  for (std::size_t length : {longest - 1, longest, longest + 1, longest + 2}) {
    for (const char* end : {"\n", "\r\n", "\r", ""}) {
      const std::string table = "LUT_3D_SIZE 1\n0.25 0.5 0.75\n";
      EXPECT_EQ(compare_readers(table + "#" + std::string(length - 1, 'x') + end), "") << length << end;
      EXPECT_EQ(compare_readers("TITLE " + std::string(length - 6, 't') + end + table), "") << length << end;
    }
  }
}

// Random lines over the characters that matter, in whole files and alone.
std::string random_line(std::mt19937& engine) {
  static const std::string alphabet = "0123456789.eE+- \t\r#x\v";
  static const std::vector<std::string> starts = {
      "", "", "", "TITLE", "LUT_3D_SIZE", "LUT_3D_SIZE ", "DOMAIN_MIN", "#", " ", "1", "0.5 ", "-", "1e"};
  std::string line = starts[engine() % starts.size()];
  const std::size_t length = engine() % 24;
  for (std::size_t i = 0; i < length; ++i) line += alphabet[engine() % alphabet.size()];
  return line;
}

TEST(CubeReader, RandomInputsGiveTheReferenceResult) {
  std::mt19937 engine(20261208);
  for (int round = 0; round < 20000; ++round) {
    const std::string line = random_line(engine);
    const std::string report = compare_fields(line);
    ASSERT_EQ(report, "") << "round " << round;
  }
  for (int round = 0; round < 2000; ++round) {
    std::string text = (engine() % 2) ? "LUT_3D_SIZE 2\n" : "";
    const int lines = static_cast<int>(engine() % 12);
    for (int i = 0; i < lines; ++i) text += random_line(engine) + ((engine() % 5) ? "\n" : "\r\n");
    if (engine() % 3 == 0) text += random_line(engine);
    ASSERT_EQ(compare_readers(text), "") << "round " << round;
  }
}

}  // namespace
