// Checks shared by the differential tests and the differential fuzzer: the
// engine's cube reader and its field scanner against the stream-based
// reference, on the same bytes. Each returns an empty string on agreement,
// else a description of the first difference.
#pragma once

#include <cstdint>
#include <cstring>
#include <exception>
#include <sstream>
#include <string>

#include "cube_fields.hpp"
#include "lut.hpp"
#include "reference_cube_reader.hpp"

namespace tonvik_test {

// Everything a read leaves behind: the error text, or the table's fields.
inline std::string reader_outcome(void (*reader)(vireth::image::lut&, std::istream&),
                                  const std::string& text) {
  vireth::image::lut table;
  std::istringstream stream(text);
  try {
    reader(table, stream);
  } catch (const vireth::image::detail::parse_error& e) {
    return "parse_error " + std::string(e.what()) + " title=" + table.title;
  } catch (const std::exception& e) {
    return "other error " + std::string(e.what());
  }
  std::string out = "title=" + table.title + " width=" + std::to_string(table.width) +
                    " height=" + std::to_string(table.height) + " channel=" + std::to_string(table.channel) +
                    " data=";
  out.append(reinterpret_cast<const char*>(table.data.data()), table.data.size());
  return out;
}

inline std::string compare_readers(const std::string& text) {
  const std::string expected = reader_outcome(&reference_parse_cube, text);
  const std::string actual = reader_outcome(&vireth::image::parse_cube, text);
  if (expected == actual) return {};
  return "reader differs on input of " + std::to_string(text.size()) +
         " bytes:\n  reference: " + expected.substr(0, 200) + "\n  engine:    " + actual.substr(0, 200);
}

inline std::uint32_t bits_of(float f) {
  std::uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

inline std::string state_text(bool failed, bool at_end) {
  return std::string(failed ? "fail" : "") + (at_end ? "eof" : "");
}

// One line read as a data line (three floats) and as a size line (a token,
// then an unsigned int), each by a string stream and by the scanner, from
// targets that start from known values.
inline std::string compare_fields(const std::string& line) {
  constexpr float start_value = 7.25f;
  constexpr std::uint32_t start_size = 12345;
  std::ostringstream report;

  float expected[3] = {start_value, start_value, start_value};
  std::istringstream floats(line);
  floats >> expected[0] >> expected[1] >> expected[2];
  float actual[3] = {start_value, start_value, start_value};
  // The line end and the padding the scanner may read, as the reader lays them out.
  const std::string padded = line + std::string(vireth::image::cube::line_padding, '\0');
  vireth::image::cube::field_scanner scanner(padded.data(), padded.data() + line.size());
  for (float& f : actual) scanner.read_float(f);
  for (int i = 0; i < 3; ++i) {
    if (bits_of(expected[i]) != bits_of(actual[i]))
      report << "float " << i << ": stream " << expected[i] << ", scanner " << actual[i] << "; ";
  }
  // The one-pass read of a plain line, where it takes the line, must store
  // what the stream stores.
  float plain[3];
  if (vireth::image::cube::field_scanner::read_plain_triple(padded.data(), plain)) {
    for (int i = 0; i < 3; ++i) {
      if (bits_of(expected[i]) != bits_of(plain[i]))
        report << "plain float " << i << ": stream " << expected[i] << ", one pass " << plain[i] << "; ";
    }
  }
  const std::string float_state = state_text(floats.fail(), floats.eof());
  if (float_state != state_text(scanner.failed(), scanner.at_end()))
    report << "float state: stream " << float_state << ", scanner "
           << state_text(scanner.failed(), scanner.at_end()) << "; ";

  std::uint32_t expected_size = start_size;
  std::string keyword;
  std::istringstream unsigned_stream(line);
  unsigned_stream >> keyword >> expected_size;
  std::uint32_t actual_size = start_size;
  vireth::image::cube::field_scanner size_scanner(padded.data(), padded.data() + line.size());
  const char* first = nullptr;
  const char* last = nullptr;
  size_scanner.token(first, last);
  size_scanner.read_unsigned(actual_size);
  if (expected_size != actual_size)
    report << "size: stream " << expected_size << ", scanner " << actual_size << "; ";
  if (first && std::string(first, last) != keyword) report << "keyword token differs; ";
  const std::string size_state = state_text(unsigned_stream.fail(), unsigned_stream.eof());
  if (size_state != state_text(size_scanner.failed(), size_scanner.at_end()))
    report << "size state: stream " << size_state << ", scanner "
           << state_text(size_scanner.failed(), size_scanner.at_end()) << "; ";

  const std::string text = report.str();
  return text.empty() ? text : "line \"" + line + "\": " + text;
}

}  // namespace tonvik_test
