#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "lut.hpp"

namespace {

using vireth::image::detail::exception;
using vireth::image::detail::message_prefix;
using vireth::image::detail::parse_error;
using vireth::image::detail::precondition_error;

TEST(MessagePrefix, TagsKindAndSignedId) {
  EXPECT_EQ(message_prefix("parse_error", 0), "[lut.exception.parse_error.0] ");
  EXPECT_EQ(message_prefix("parse_error", 101), "[lut.exception.parse_error.101] ");
  EXPECT_EQ(message_prefix("other", -1), "[lut.exception.other.-1] ");
}

struct ParseErrorCase {
  int id;
  std::uint64_t position;
  const char* detail;
  const char* what;
};

void PrintTo(const ParseErrorCase& c, std::ostream* os) { *os << c.what; }

class ParseErrorText : public testing::TestWithParam<ParseErrorCase> {};

TEST_P(ParseErrorText, IsBuiltInOrder) {
  const ParseErrorCase& c = GetParam();
  const parse_error error(c.id, c.position, c.detail);
  EXPECT_STREQ(error.what(), c.what);
  EXPECT_EQ(error.id, c.id);
  EXPECT_EQ(error.position, c.position);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ParseErrorText,
    testing::Values(
        ParseErrorCase{
            0, 0, "The lut element does not match the size of lut",
            "[lut.exception.parse_error.0] parse error: The lut element does not match the size of lut"},
        ParseErrorCase{1, 0, "The lut size must be at least 2",
                       "[lut.exception.parse_error.1] parse error: The lut size must be at least 2"},
        ParseErrorCase{101, 17, "bad", "[lut.exception.parse_error.101] parse error at 17: bad"},
        ParseErrorCase{-1, 0, "x", "[lut.exception.parse_error.-1] parse error: x"},
        ParseErrorCase{2, 18446744073709551615ull, "max",
                       "[lut.exception.parse_error.2] parse error at 18446744073709551615: max"},
        ParseErrorCase{0, 0, "", "[lut.exception.parse_error.0] parse error: "}));

TEST(ParseError, CopyKeepsTextIdAndPositionAfterTheOriginalIsGone) {
  auto* original = new parse_error(7, 3, "detail");
  const parse_error copy(*original);
  const std::string expected = original->what();
  delete original;
  EXPECT_EQ(copy.what(), expected);
  EXPECT_EQ(copy.id, 7);
  EXPECT_EQ(copy.position, 3u);
}

TEST(ParseError, IsCaughtAsItsBasesWithTheFullMessage) {
  const std::string expected = "[lut.exception.parse_error.0] parse error: d";
  try {
    throw parse_error(0, 0, "d");
  } catch (const std::exception& e) {
    EXPECT_EQ(e.what(), expected);
  }
  try {
    throw parse_error(0, 0, "d");
  } catch (const exception& e) {
    EXPECT_EQ(e.what(), expected);
    EXPECT_EQ(e.id, 0);
  }
}

TEST(PreconditionError, NamesExpressionFileAndLine) {
  const precondition_error error("u >= 0.0f", "lut.cpp", 42);
  EXPECT_STREQ(error.what(),
               "[lut.exception.precondition_error.0] precondition failed: u >= 0.0f (lut.cpp:42)");
}

}  // namespace
