#include "bridge_string.hpp"

#include <stdexcept>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

TEST(BridgeStringTest, StatusTextKeepsItsBytes) {
  const BridgeString s("success:ok");
  EXPECT_EQ(s.length(), 10u);
  EXPECT_EQ(s.capacity(), 10u);
  EXPECT_EQ(s.to_std_string(), "success:ok");
}

TEST(BridgeStringTest, EmptyStringsOwnNoBuffer) {
  const BridgeString from_text("");
  const BridgeString from_bytes("ignored", 0);
  const BridgeString from_null_bytes(nullptr, 0);
  for (const BridgeString* s : {&from_text, &from_bytes, &from_null_bytes}) {
    EXPECT_EQ(s->data(), nullptr);
    EXPECT_EQ(s->capacity(), 0u);
    EXPECT_EQ(s->length(), 0u);
    EXPECT_EQ(s->to_std_string(), "");
  }
}

TEST(BridgeStringTest, EmbeddedNulSurvivesConversion) {
  const std::string bytes = "a\0b\0"s;
  const BridgeString s(bytes.data(), bytes.size());
  EXPECT_EQ(s.length(), 4u);
  EXPECT_EQ(s.to_std_string(), bytes);
  EXPECT_EQ(s.to_std_string().size(), 4u);
  EXPECT_EQ(s.to_std_string(), bytes) << "conversion leaves the string unchanged";
}

TEST(BridgeStringTest, TextConstructorStopsAtFirstNul) {
  const BridgeString s("ab\0cd");
  EXPECT_EQ(s.to_std_string(), "ab");
}

TEST(BridgeStringTest, NullTextThrowsNamingTheAssertion) {
  try {
    BridgeString s(static_cast<const char*>(nullptr));
    FAIL() << "no exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("s != nullptr"), std::string::npos) << error.what();
  }
}

TEST(BridgeStringTest, NullBytesWithLengthThrow) {
  EXPECT_THROW(BridgeString(nullptr, 3), std::invalid_argument);
}

TEST(BridgeStringTest, MoveLeavesSourceEmpty) {
  BridgeString source("error:image_not_found");
  const char* buffer = source.data();
  BridgeString target(std::move(source));
  EXPECT_EQ(target.data(), buffer) << "the buffer is handed over, not copied";
  EXPECT_EQ(target.to_std_string(), "error:image_not_found");
  EXPECT_EQ(source.data(), nullptr);
  EXPECT_EQ(source.capacity(), 0u);
  EXPECT_EQ(source.length(), 0u);
}

TEST(BridgeStringTest, MoveAssignmentReleasesOldBufferAndSurvivesSelfMove) {
  BridgeString target("old text");
  BridgeString source("new");
  target = std::move(source);
  EXPECT_EQ(target.to_std_string(), "new");
  EXPECT_EQ(source.length(), 0u);
  BridgeString& alias = target;
  target = std::move(alias);
  EXPECT_EQ(target.to_std_string(), "new");
}

struct utf8_case {
  const char* name;
  std::string bytes;
  bool valid;
};

class Utf8Test : public ::testing::TestWithParam<utf8_case> {};

TEST_P(Utf8Test, ValidationMatchesTheStandard) {
  const utf8_case& c = GetParam();
  EXPECT_EQ(is_valid_utf8(c.bytes.data(), c.bytes.size()), c.valid);
  if (c.bytes.find('\0') != std::string::npos) return;
  if (c.valid) {
    EXPECT_EQ(BridgeString(c.bytes.c_str()).to_std_string(), c.bytes);
  } else {
    EXPECT_THROW(BridgeString(c.bytes.c_str()), std::invalid_argument);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8Test,
    ::testing::Values(
        utf8_case{"ascii", "abc", true}, utf8_case{"nul_inside", "a\0b"s, true},
        utf8_case{"two_bytes", "\xC3\xA9", true}, utf8_case{"three_bytes", "\xE2\x82\xAC", true},
        utf8_case{"four_bytes", "\xF0\x9F\x98\x80", true},
        utf8_case{"last_code_point", "\xF4\x8F\xBF\xBF", true},
        utf8_case{"last_before_surrogates", "\xED\x9F\xBF", true}, utf8_case{"byte_ff", "\xFF", false},
        utf8_case{"lone_continuation", "\x80", false}, utf8_case{"overlong_two", "\xC0\xAF", false},
        utf8_case{"overlong_c1", "\xC1\xBF", false}, utf8_case{"overlong_three", "\xE0\x80\xAF", false},
        utf8_case{"overlong_four", "\xF0\x80\x80\xAF", false}, utf8_case{"surrogate", "\xED\xA0\x80", false},
        utf8_case{"above_max", "\xF4\x90\x80\x80", false}, utf8_case{"lead_f5", "\xF5\x80\x80\x80", false},
        utf8_case{"truncated_at_end", "ab\xE2\x82", false},
        utf8_case{"bad_third_byte", "\xE2\x82\x41", false},
        utf8_case{"bad_fourth_byte", "\xF0\x9F\x98\x41", false}),
    [](const ::testing::TestParamInfo<utf8_case>& info) { return std::string(info.param.name); });

}  // namespace
