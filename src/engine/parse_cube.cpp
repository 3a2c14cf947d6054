// Reader for 3D LUTs in the cube text format.
//
// Accepted, line by line (a CR directly before the LF belongs to the line end):
//   empty line, or a line starting with "#"     skipped
//   TITLE <token>                                 title = the token (quotes kept)
//   DOMAIN_MIN ... / DOMAIN_MAX ...               skipped: inputs always span 0..1
//   LUT_3D_SIZE <N>                               N points per axis; the last one wins
//   anything else                                 a data line: three numbers r g b
// Keywords are case-sensitive prefixes at the very start of the line. Data
// lines list the table with red changing fastest, then green, then blue.
// Numbers are read as the standard stream extraction reads them, and a
// component that a data line does not supply keeps its value from the
// previous data line (0 before the first). The only check is that the table
// holds 3 * N^3 values, with N at most 256, and that the text has at most
// 2^26 lines of at most 1 MiB (cube_table.hpp).
//
// The text is scanned in place, a buffer at a time, by the scanner in
// cube_fields.hpp, which takes exactly the characters a string stream's
// extraction would take; the tests hold a stream-based reader and check the
// two against each other on arbitrary bytes.
#include <cstdint>
#include <cstring>
#include <istream>
#include <string>
#include <vector>

#include "cube_fields.hpp"
#include "cube_table.hpp"
#include "lut.hpp"
#include "precondition.hpp"

namespace vireth::image {

namespace {

// Bytes read from the stream at a time; a line longer than this is carried
// over and completed from the next reads.
constexpr std::size_t read_chunk = 64 * 1024;

template <std::size_t N>
bool starts_with(const char* line, std::size_t length, const char (&keyword)[N]) {
  return length >= N - 1 && std::memcmp(line, keyword, N - 1) == 0;
}

struct reader_state {
  lut& target;
  std::uint32_t size = 0;
  float red = 0.0f;
  float green = 0.0f;
  float blue = 0.0f;
  cube::entry_list entries;
  std::size_t lines = 0;
};

// Three numbers into the carried-over components, then all three appended
// whether or not each read succeeded. Most lines are three plain numbers,
// read in one pass; any other is read field by field.
void take_data_line(reader_state& state, const char* line, std::size_t length) {
  float plain[3];
  if (cube::field_scanner::read_plain_triple(line, plain)) {
    state.red = plain[0];
    state.green = plain[1];
    state.blue = plain[2];
  } else {
    cube::field_scanner fields(line, line + length);
    fields.read_float(state.red);
    fields.read_float(state.green);
    fields.read_float(state.blue);
  }
  state.entries.append(state.red, state.green, state.blue);
}

// Pads the line held in `pending` for the scanner; returns its length.
std::size_t pad_pending(std::string& pending) {
  const std::size_t length = pending.size();
  pending.append(cube::line_padding, '\0');
  return length;
}

[[noreturn]] void refuse() { throw detail::parse_error(0, 0, count_mismatch_detail); }

void take_line(reader_state& state, const char* line, std::size_t length) {
  if (length > cube::longest_line || ++state.lines > cube::most_lines) refuse();
  if (length == 0 || line[0] == '#') return;
  // Every keyword starts with one of these; most lines are data and go
  // straight to the numbers.
  const char lead = line[0];
  const bool maybe_keyword = lead == 'T' || lead == 'D' || lead == 'L';
  if (!maybe_keyword) return take_data_line(state, line, length);
  cube::field_scanner fields(line, line + length);
  const char* begin = nullptr;
  const char* end = nullptr;
  if (starts_with(line, length, "TITLE")) {
    fields.token(begin, end);  // the keyword itself
    if (fields.token(begin, end)) state.target.title.assign(begin, end);
  } else if (starts_with(line, length, "DOMAIN_MIN") || starts_with(line, length, "DOMAIN_MAX")) {
    return;
  } else if (starts_with(line, length, "LUT_3D_SIZE")) {
    fields.token(begin, end);  // the keyword itself
    fields.read_unsigned(state.size);
    state.entries.expect(state.size);
  } else {
    take_data_line(state, line, length);
  }
}

}  // namespace

void parse_cube(lut& target, std::istream& stream) {
  VIRETH_REQUIRE(stream.good());

  reader_state state{target, 0, 0.0f, 0.0f, 0.0f, {}, 0};
  std::string pending;  // the start of a line that the last read cut off
  // Zeros past the bytes read: the padding the scanner may load past a line.
  std::vector<char> buffer(read_chunk + cube::line_padding);
  while (stream) {
    stream.read(buffer.data(), static_cast<std::streamsize>(read_chunk));
    const std::size_t got = static_cast<std::size_t>(stream.gcount());
    const char* begin = buffer.data();
    const char* const end = begin + got;
    while (begin != end) {
      const char* newline =
          static_cast<const char*>(std::memchr(begin, '\n', static_cast<std::size_t>(end - begin)));
      if (!newline) {
        pending.append(begin, end);
        // Too long already, whatever line end follows: held no further.
        if (pending.size() > cube::longest_line + 1) refuse();
        break;
      }
      const char* line = begin;
      std::size_t length = static_cast<std::size_t>(newline - begin);
      if (!pending.empty()) {
        pending.append(begin, newline);
        length = pad_pending(pending);
        line = pending.data();
      }
      // A CR before the LF ends the line with it.
      if (length != 0 && line[length - 1] == '\r') --length;
      take_line(state, line, length);
      pending.clear();
      begin = newline + 1;
    }
  }
  // A last line without LF keeps a CR at its end: it is no line end there.
  if (!pending.empty()) {
    const std::size_t length = pad_pending(pending);
    take_line(state, pending.data(), length);
  }

  cube::store_table(target, state.size, state.entries);
}

}  // namespace vireth::image
