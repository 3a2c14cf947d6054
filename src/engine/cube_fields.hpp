// field_scanner: the formatted reads of a line's string stream (a token, a
// float, an unsigned int), done in place on the line's bytes with the same
// result: the same characters taken, the same value stored, the same state.
//
// Stream rules it follows (classic locale):
//   - once a read has failed or has reached the end of the line, every later
//     read does nothing (the stream is failed) and leaves its target alone;
//   - leading whitespace (blank, \t, \n, \v, \f, \r) is skipped; reaching the
//     end there fails and leaves the target alone;
//   - a number takes the longest run of the characters its extraction
//     accumulates; a run that does not convert stores 0 and fails, a float
//     beyond the float range stores +-max and fails, an unsigned int beyond
//     32 bits stores the maximum and fails, a minus sign before an unsigned
//     int negates it modulo 2^32.
// Ownership: borrows the line. Failure contract: nothing throws.
#pragma once

#include <cfloat>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>

namespace vireth::image::cube {

class field_scanner {
 public:
  field_scanner(const char* begin, const char* end) : at_(begin), end_(end) {}

  // The next whitespace-delimited token; false (and nothing) on a failed read.
  bool token(const char*& first, const char*& last) {
    if (!start_read()) return false;
    first = at_;
    while (at_ != end_ && !is_space(*at_)) ++at_;
    last = at_;
    if (at_ == end_) at_end_ = true;
    return true;
  }

  void read_float(float& value) {
    if (!start_read()) return;
    bool negative = false;
    if (*at_ == '+' || *at_ == '-') {
      negative = *at_ == '-';
      ++at_;
    }
    const char* const body = at_;
    bool mantissa = false;
    bool point = false;
    bool exponent = false;
    // For the short decimals tables are written in: the digits as an integer
    // while it stays exact in a float, and the digits after the point.
    std::uint32_t digits_value = 0;
    bool digits_exact = true;
    int fraction_digits = 0;
    while (at_ != end_) {
      const char c = *at_;
      if (c >= '0' && c <= '9') {
        mantissa = true;
        if (!exponent) {
          if (digits_value > (exact_float_integer - 9) / 10) digits_exact = false;
          digits_value = digits_value * 10 + static_cast<std::uint32_t>(c - '0');
          if (point) ++fraction_digits;
        }
      } else if (c == '.' && !point && !exponent) {
        point = true;
      } else if ((c == 'e' || c == 'E') && !exponent && mantissa) {
        exponent = true;
        // A sign directly after the exponent mark belongs to it; anything else
        // is looked at again as a character of its own.
        if (at_ + 1 != end_ && (at_[1] == '+' || at_[1] == '-')) ++at_;
      } else {
        break;
      }
      ++at_;
    }
    if (at_ == end_) at_end_ = true;
#if FLT_EVAL_METHOD == 0
    // Both the integer and the power of ten are exact floats, so the one
    // division rounds exactly as a correctly rounded conversion does.
    if (mantissa && !exponent && digits_exact && fraction_digits < exact_powers) {
      const float magnitude = static_cast<float>(digits_value) / powers_of_ten[fraction_digits];
      value = negative ? -magnitude : magnitude;
      return;
    }
#endif
    convert_float(body, at_, negative, value);
  }

  void read_unsigned(std::uint32_t& value) {
    if (!start_read()) return;
    bool negative = false;
    if (*at_ == '+' || *at_ == '-') {
      negative = *at_ == '-';
      ++at_;
    }
    bool digits = false;
    bool overflow = false;
    std::uint32_t result = 0;
    constexpr std::uint32_t max = std::numeric_limits<std::uint32_t>::max();
    while (at_ != end_ && *at_ >= '0' && *at_ <= '9') {
      const std::uint32_t digit = static_cast<std::uint32_t>(*at_ - '0');
      digits = true;
      if (result > max / 10) {
        overflow = true;
      } else {
        result *= 10;
        overflow |= result > max - digit;
        result += digit;
      }
      ++at_;
    }
    if (at_ == end_) at_end_ = true;
    if (!digits) {
      value = 0;
      failed_ = true;
    } else if (overflow) {
      value = max;
      failed_ = true;
    } else {
      value = negative ? 0u - result : result;
    }
  }

  // The line stream's state after the reads so far.
  bool failed() const noexcept { return failed_; }
  bool at_end() const noexcept { return at_end_; }

 private:
  // 2^24: every integer up to it is a float.
  static constexpr std::uint32_t exact_float_integer = 16777216;
  // 10^0 .. 10^10 are floats exactly (5^10 < 2^24).
  static constexpr int exact_powers = 11;
  static constexpr float powers_of_ten[exact_powers] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                                        1e6f, 1e7f, 1e8f, 1e9f, 1e10f};

  static bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
  }

  // The stream's sentry: false once failed or at the end, and when only
  // whitespace is left.
  bool start_read() {
    if (failed_ || at_end_) {
      failed_ = true;
      return false;
    }
    while (at_ != end_ && is_space(*at_)) ++at_;
    if (at_ == end_) {
      at_end_ = true;
      failed_ = true;
      return false;
    }
    return true;
  }

  // [body, last) is what the extraction accumulated, without its sign. It
  // converts as the C library's strtof would, or not at all.
  void convert_float(const char* body, const char* last, bool negative, float& value) {
    float magnitude = 0.0f;
    const std::from_chars_result r = std::from_chars(body, last, magnitude, std::chars_format::general);
    if (r.ec == std::errc() && r.ptr == last && body != last) {
      value = negative ? -magnitude : magnitude;
      return;
    }
    if (r.ec == std::errc::result_out_of_range && r.ptr == last) {
      // Beyond the float range the stream stores +-max and fails; below it,
      // it keeps the conversion's signed zero.
      if (is_at_least_one(body, last)) {
        value = negative ? -std::numeric_limits<float>::max() : std::numeric_limits<float>::max();
        failed_ = true;
      } else {
        value = negative ? -0.0f : 0.0f;
      }
      return;
    }
    value = 0.0f;
    failed_ = true;
  }

  // Whether a decimal number (digits, point, exponent; at least one nonzero
  // digit) is at least 1 in magnitude. Only asked about numbers that round to
  // zero or to infinity as floats, so the exact threshold never matters.
  static bool is_at_least_one(const char* body, const char* last) {
    constexpr long long saturation = 1000000000;
    long long magnitude = 0;  // decimal exponent of the leading digit, plus 1
    bool point = false;
    bool nonzero = false;
    const char* p = body;
    for (; p != last && *p != 'e' && *p != 'E'; ++p) {
      if (*p == '.') {
        point = true;
      } else if (nonzero || *p != '0') {
        nonzero = true;
        if (!point && magnitude < saturation) ++magnitude;
      } else if (point) {
        --magnitude;
      }
    }
    long long exponent = 0;
    if (p != last) {
      ++p;
      const bool minus = p != last && *p == '-';
      if (p != last && (*p == '+' || *p == '-')) ++p;
      for (; p != last; ++p) {
        if (exponent < saturation) exponent = exponent * 10 + (*p - '0');
      }
      if (minus) exponent = -exponent;
    }
    return magnitude - 1 + exponent >= 0;
  }

  const char* at_;
  const char* end_;
  bool failed_ = false;
  bool at_end_ = false;
};

}  // namespace vireth::image::cube
