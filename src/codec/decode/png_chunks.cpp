#include "png_chunks.hpp"

#include <climits>
#include <cstring>

#include "file_source.hpp"

namespace tonvik::codec::detail {

namespace {

// Pieces of IDAT data read from a regular file: large enough that the
// system calls cost nothing next to the inflate, small enough to stay in
// the cache.
constexpr std::size_t piece_size = 64 * 1024;

constexpr std::uint32_t chunk_type(const char (&name)[5]) {
  return (std::uint32_t(static_cast<unsigned char>(name[0])) << 24) |
         (std::uint32_t(static_cast<unsigned char>(name[1])) << 16) |
         (std::uint32_t(static_cast<unsigned char>(name[2])) << 8) |
         std::uint32_t(static_cast<unsigned char>(name[3]));
}

std::uint32_t big_endian32(const unsigned char* p) {
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
         std::uint32_t(p[3]);
}

// The decoder's largest side (its default), and the most samples it
// decodes: it refuses width x height x samples above 2^30.
constexpr std::uint32_t max_side = std::uint32_t{1} << 24;
constexpr std::uint32_t max_samples = std::uint32_t{1} << 30;

}  // namespace

png_chunk_walker::png_chunk_walker(const image_bytes& bytes) : bytes_(bytes) {
  if (bytes_.memory == nullptr) buffer_.resize(piece_size);
}

const unsigned char* png_chunk_walker::bytes_at(std::uint64_t offset, std::size_t size) {
  if (offset > bytes_.size || size > bytes_.size - offset || size > piece_size) return nullptr;
  if (bytes_.memory != nullptr) return bytes_.memory + offset;
  if (offset < buffered_at_ || offset - buffered_at_ + size > buffered_) {
    // Read ahead from `offset`: the chunk headers and small chunks that
    // follow come out of the same read.
    const std::uint64_t rest = bytes_.size - offset;
    const std::size_t want = rest < piece_size ? static_cast<std::size_t>(rest) : piece_size;
    buffered_ = 0;
    if (read_at(bytes_.fd, buffer_.data(), want, offset) != want)
      return nullptr;  // an error, or the file shrank
    buffered_at_ = offset;
    buffered_ = want;
  }
  return buffer_.data() + (offset - buffered_at_);
}

bool png_chunk_walker::read_header(png_layout& layout) {
  static constexpr unsigned char signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
  constexpr std::size_t head_size = 8 + 8 + 13;  // signature, IHDR's length and type, its body
  const unsigned char* head = bytes_at(0, head_size);
  if (head == nullptr || std::memcmp(head, signature, 8) != 0) return false;
  if (big_endian32(head + 8) != 13 || big_endian32(head + 12) != chunk_type("IHDR")) return false;
  const unsigned char* body = head + 16;
  png_layout l;
  l.width = big_endian32(body);
  l.height = big_endian32(body + 4);
  l.depth = body[8];
  l.colour_type = body[9];
  l.interlaced = body[12] == 1;
  if (l.width == 0 || l.height == 0 || l.width > max_side || l.height > max_side) return false;
  if (l.depth != 1 && l.depth != 2 && l.depth != 4 && l.depth != 8 && l.depth != 16) return false;
  switch (l.colour_type) {
    case 0: l.samples = 1; break;
    case 2: l.samples = 3; break;
    case 3: l.samples = 1; break;
    case 4: l.samples = 2; break;
    case 6: l.samples = 4; break;
    default: return false;
  }
  if (l.colour_type == 3 && l.depth == 16) return false;
  if (body[10] != 0 || body[11] != 0 || body[12] > 1) return false;  // compression, filter, interlace methods
  // The decoder's own bound, with 4 samples for a palette's expansion.
  const std::uint32_t samples_bound = l.colour_type == 3 ? 4 : static_cast<std::uint32_t>(l.samples);
  if (max_samples / l.width / samples_bound < l.height) return false;
  if (bytes_.size < head_size + 4) return false;  // IHDR's CRC
  layout = l;
  layout_ = l;
  next_chunk_ = head_size + 4;
  return true;
}

png_chunk_walker::step png_chunk_walker::next_data() {
  const bool palette_image = layout_.colour_type == 3;
  data_left_ = 0;
  for (;;) {
    const unsigned char* head = bytes_at(next_chunk_, 8);
    if (head == nullptr) return step::unsure;  // no IEND
    const std::uint32_t length = big_endian32(head);
    const std::uint32_t type = big_endian32(head + 4);
    // IEND ends the walk where the decoder decodes: its length and CRC are
    // never read.
    if (type == chunk_type("IEND")) return seen_data_ ? step::end : step::unsure;
    // The whole chunk, CRC included, in the file: a cut one is read in the
    // decoder's own way.
    const std::uint64_t body = next_chunk_ + 8;
    if (length > INT_MAX || bytes_.size - body < std::uint64_t{length} + 4) return step::unsure;
    next_chunk_ = body + length + 4;
    switch (type) {
      case chunk_type("IDAT"):
        if (palette_image && palette_entries_ == 0) return step::unsure;
        seen_idat_ = true;
        if (length == 0) break;
        data_total_ += length;
        if (data_total_ > INT_MAX) return step::unsure;
        seen_data_ = true;
        data_at_ = body;
        data_left_ = length;
        return step::data;
      case chunk_type("PLTE"):
        if (palette_image && seen_idat_) return step::unsure;  // it would colour the rows already out
        if (length > 256 * 3 || length % 3 != 0) return step::unsure;
        palette_entries_ = length / 3;
        if (palette_image) {
          const unsigned char* entries = bytes_at(body, length);
          if (entries == nullptr) return step::unsure;
          std::memcpy(palette_, entries, length);
        }
        break;
      case chunk_type("tRNS"):
        // Alpha never reaches the RGB rows; only whether the decoder takes
        // the chunk matters.
        if (seen_idat_) return step::unsure;
        if (palette_image ? palette_entries_ == 0 || length > palette_entries_
                          : layout_.samples % 2 == 0 || length != std::uint32_t(layout_.samples) * 2)
          return step::unsure;
        break;
      case chunk_type("IHDR"):
      case chunk_type("CgBI"): return step::unsure;
      default:
        if ((type & (1u << 29)) == 0)
          return step::unsure;  // critical: the decoder refuses what it does not know
        break;
    }
  }
}

const unsigned char* png_chunk_walker::take(std::size_t wanted, std::size_t& got) {
  got = 0;
  const unsigned char* piece = bytes_at(data_at_, data_left_ > 0 ? 1 : 0);
  if (piece == nullptr) return nullptr;
  std::size_t size = wanted < data_left_ ? wanted : data_left_;
  if (size > piece_size) size = piece_size;
  if (bytes_.memory == nullptr) {
    const std::size_t buffered = static_cast<std::size_t>(buffered_at_ + buffered_ - data_at_);
    if (size > buffered) size = buffered;  // the rest comes with the next read
  }
  data_at_ += size;
  data_left_ -= static_cast<std::uint32_t>(size);
  got = size;
  return piece;
}

}  // namespace tonvik::codec::detail
