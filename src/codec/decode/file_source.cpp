#include "file_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include "stb_loader.hpp"

namespace tonvik::codec {

namespace {

// Enough for every format test of the loader (the longest reads 92 bytes).
constexpr std::size_t format_probe_bytes = 4096;
constexpr std::size_t stream_chunk = 64 * 1024;

// Appends up to `wanted` bytes. False on a read error or an interrupting
// signal; `ended` is set at end of stream.
bool read_some(int fd, std::vector<unsigned char>& bytes, std::size_t wanted, bool& ended) {
  const std::size_t start = bytes.size();
  bytes.resize(start + wanted);
  std::size_t got = 0;
  while (got < wanted) {
    const ssize_t count = ::read(fd, bytes.data() + start + got, wanted - got);
    if (count < 0) {
      bytes.resize(start + got);
      return false;  // EINTR included: a Ctrl-C must end a read that may never finish
    }
    if (count == 0) {
      ended = true;
      break;
    }
    got += static_cast<std::size_t>(count);
  }
  bytes.resize(start + got);
  return true;
}

bool names_a_format(const std::vector<unsigned char>& bytes) {
  detail::byte_source source;
  source.bytes = bytes.data();
  source.size = bytes.size();
  return detail::detect_format(source) != image_format::unknown;
}

bool read_stream(int fd, std::vector<unsigned char>& bytes) {
  bool ended = false;
  if (!read_some(fd, bytes, format_probe_bytes, ended)) return false;
  if (!names_a_format(bytes)) return false;
  while (!ended) {
    if (bytes.size() > max_stream_bytes) return false;
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(stream_chunk, max_stream_bytes + 1 - bytes.size()));
    if (!read_some(fd, bytes, wanted, ended)) return false;
  }
  return bytes.size() <= max_stream_bytes;
}

}  // namespace

const stbi_io_callbacks* regular_file_reader::callbacks() const noexcept {
  static const stbi_io_callbacks table = {&regular_file_reader::read, &regular_file_reader::skip,
                                          &regular_file_reader::eof};
  return &table;
}

std::size_t read_at(int fd, unsigned char* data, std::size_t size, std::uint64_t offset) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t count = ::pread(fd, data + got, size - got, static_cast<off_t>(offset + got));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    got += static_cast<std::size_t>(count);
  }
  return got;
}

int regular_file_reader::read(void* user, char* data, int size) {
  auto* self = static_cast<regular_file_reader*>(user);
  const std::size_t wanted = size > 0 ? static_cast<std::size_t>(size) : 0;
  const std::size_t got = read_at(self->fd_, reinterpret_cast<unsigned char*>(data), wanted, self->offset_);
  if (got < wanted) self->ended_ = true;
  self->offset_ += got;
  return static_cast<int>(got);
}

void regular_file_reader::skip(void* user, int count) {
  auto* self = static_cast<regular_file_reader*>(user);
  if (count > 0) self->offset_ += static_cast<std::uint64_t>(count);
}

int regular_file_reader::eof(void* user) {
  const auto* self = static_cast<const regular_file_reader*>(user);
  return self->ended_ || self->offset_ >= self->size_;
}

opened_image::opened_image(opened_image&& other) noexcept
    : status(other.status),
      fd(std::exchange(other.fd, -1)),
      size(other.size),
      bytes(std::move(other.bytes)) {}

opened_image::~opened_image() {
  if (fd >= 0) ::close(fd);
}

opened_image open_image(const std::string& path) {
  opened_image image;
  image.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (image.fd < 0) return image;
  struct stat info {};
  if (::fstat(image.fd, &info) != 0 || S_ISDIR(info.st_mode)) return image;
  if (S_ISREG(info.st_mode)) {
    image.status = open_status::regular;
    image.size = static_cast<std::uint64_t>(info.st_size);
    return image;
  }
  if (!read_stream(image.fd, image.bytes)) {
    image.bytes = {};
    return image;
  }
  image.size = image.bytes.size();
  image.status = open_status::streamed;
  return image;
}

}  // namespace tonvik::codec
