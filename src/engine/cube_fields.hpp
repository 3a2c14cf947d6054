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
// Ownership: borrows the line. The byte at `end` must be a line end (LF, CR,
// or NUL), and it and the line_padding - 1 bytes after it must be readable
// and initialised: the digit scans stop on the line end without a bound
// check and read a fraction eight bytes at a time, so a load may reach past
// it. Failure contract: nothing throws.
#pragma once

#include <cfloat>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <system_error>

namespace vireth::image::cube {

// Readable, initialised bytes the scanner needs from a line's end on, the
// line end included.
inline constexpr std::size_t line_padding = 8;

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
    const bool negative = *at_ == '-';
    if (negative || *at_ == '+') ++at_;
    // The form tables are written in, digits with an optional point and
    // fraction and no exponent, is read in one pass, inline; where the stream
    // would go on (an exponent mark after digits) the general scan takes over.
    plain_digits digits;
    const char* const p = take_plain_digits(at_, digits);
    if (digits.count != 0 && (*p == 'e' || *p == 'E')) {
      scan_with_exponent(negative, value);
      return;
    }
    const char* const body = at_;
    at_ = p;
    if (at_ == end_) at_end_ = true;
    if (short_decimal(digits, negative, value)) return;
    convert_float(body, at_, negative, value);
  }

  // The common data line in one pass: optional blanks or tabs, then three
  // numbers, each an optional sign and digits with an optional point and
  // fraction (at most nine digits, whose integer is at most 2^24), the first
  // two followed by blanks or tabs, the third by anything but an exponent
  // mark. True, with the values three read_float calls store, when the line
  // at `line` starts so; false for any other line, which the caller then
  // reads field by field (`values` then holds nothing of use). Reads up to the first
  // character that breaks the form, at the latest the line end, and may load
  // up to line_padding bytes from there.
  static bool read_plain_triple(const char* line, float (&values)[3]) {
    const char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    for (int i = 0; i < 3; ++i) {
      const bool negative = *p == '-';
      if (negative || *p == '+') ++p;
      plain_digits digits;
      p = take_plain_digits(p, digits);
      if (*p == 'e' || *p == 'E' || !short_decimal(digits, negative, values[i])) return false;
      if (i == 2) break;
      if (*p != ' ' && *p != '\t') return false;
      while (*p == ' ' || *p == '\t') ++p;
    }
    return true;
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
  // Up to 9 digits the integer cannot wrap; the fraction then needs at most
  // 10^9, and 10^0 .. 10^9 are floats exactly (5^9 < 2^24).
  static constexpr std::size_t max_short_digits = 9;
  static constexpr float powers_of_ten[max_short_digits + 1] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f,
                                                                1e5f, 1e6f, 1e7f, 1e8f, 1e9f};

  static constexpr std::uint64_t powers_of_ten_u64[9] = {1,      10,      100,      1000,     10000,
                                                         100000, 1000000, 10000000, 100000000};

  static bool is_digit(char c) { return c >= '0' && c <= '9'; }
  static std::uint32_t digit(char c) { return static_cast<std::uint32_t>(c - '0'); }

  struct digit_run {
    unsigned count;       // 0..8
    std::uint64_t value;  // of those digits
  };

  // A number's digits without its sign: the integer's, then a point and the
  // fraction's, as one integer (modulo 2^64, as a digit-by-digit loop
  // computes it).
  struct plain_digits {
    std::uint64_t value = 0;
    std::size_t count = 0;     // all digits
    std::size_t fraction = 0;  // digits after the point
  };

  // Reads the digits at p into `digits`; returns the first character after
  // them (the point included when one follows the integer).
  static const char* take_plain_digits(const char* p, plain_digits& digits) {
    const char* const first = p;
    if (is_digit(p[0]) && !is_digit(p[1])) {  // the usual single digit before a point
      digits.value = digit(*p++);
    } else {
      for (; is_digit(*p); ++p) digits.value = digits.value * 10 + digit(*p);
    }
    digits.count = static_cast<std::size_t>(p - first);
    if (*p == '.') {
      const char* const fraction = ++p;
      // Fractions are where the digits are: the first eight in one step.
      const digit_run run = leading_digits(p);
      digits.value = digits.value * powers_of_ten_u64[run.count] + run.value;
      p += run.count;
      if (run.count == 8) {
        for (; is_digit(*p); ++p) digits.value = digits.value * 10 + digit(*p);
      }
      digits.fraction = static_cast<std::size_t>(p - fraction);
      digits.count += digits.fraction;
    }
    return p;
  }

  // The float of `digits` when they are few enough for one exact division:
  // both the integer and the power of ten are exact floats, so the quotient
  // rounds as a correctly rounded conversion does. False, and nothing
  // stored, otherwise.
  static bool short_decimal(const plain_digits& digits, bool negative, float& value) {
#if FLT_EVAL_METHOD == 0
    if (digits.count == 0 || digits.count > max_short_digits || digits.value > exact_float_integer) return false;
    const float magnitude = static_cast<float>(digits.value) / powers_of_ten[digits.fraction];
    value = negative ? -magnitude : magnitude;
    return true;
#else
    (void)digits, (void)negative, (void)value;
    return false;
#endif
  }

  // The decimal digits that open the eight bytes at p. A run stops at the
  // line end at the latest, so the bytes past it come from the padding.
  static digit_run leading_digits(const char* p) {
    std::uint64_t bytes;
    std::memcpy(&bytes, p, sizeof bytes);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    bytes = __builtin_bswap64(bytes);  // the first character in the low byte
#endif
    // Each byte less '0': a digit becomes its value, anything else 10 or
    // more. Borrows and carries only run upwards, from the first non-digit
    // on, so the bytes up to it are exact.
    const std::uint64_t values = bytes - 0x3030303030303030u;
    const std::uint64_t not_digit = ((values + 0x7676767676767676u) | values) & 0x8080808080808080u;
    const unsigned count = not_digit ? static_cast<unsigned>(__builtin_ctzll(not_digit)) / 8 : 8;
    if (count == 0) return {0, 0};
    // The digits moved to the top, zeros before them; then pairs, fours and
    // all eight combined by multiplication.
    std::uint64_t d = values << (8 * (8 - count));
    d = d * 10 + (d >> 8);
    d = ((d & 0x000000FF000000FFu) * (100 + (1000000ull << 32)) +
         ((d >> 16) & 0x000000FF000000FFu) * (1 + (10000ull << 32))) >>
        32;
    return {count, d};
  }

  // Blank, \t, \n, \v, \f and \r: the classic locale's whitespace.
  static bool is_space(char c) {
    constexpr std::uint64_t spaces =
        (1ull << ' ') | (1ull << '\t') | (1ull << '\n') | (1ull << '\v') | (1ull << '\f') | (1ull << '\r');
    const auto u = static_cast<unsigned char>(c);
    return u <= ' ' && ((spaces >> u) & 1u) != 0;
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

  // The general scan, from the first character after the sign: takes what
  // the stream's extraction accumulates, exponent and its sign included.
  __attribute__((noinline)) void scan_with_exponent(bool negative, float& value) {
    const char* const body = at_;
    bool mantissa = false;
    bool point = false;
    bool exponent = false;
    while (at_ != end_) {
      const char c = *at_;
      if (is_digit(c)) {
        mantissa = true;
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
    convert_float(body, at_, negative, value);
  }

  // [body, last) is what the extraction accumulated, without its sign. It
  // converts as the C library's strtof would, or not at all.
  __attribute__((noinline)) void convert_float(const char* body, const char* last, bool negative,
                                               float& value) {
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
