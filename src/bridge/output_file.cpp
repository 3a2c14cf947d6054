#include "output_file.hpp"

#include <cerrno>
#include <cstdint>
#include <random>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fd_writer.hpp"

namespace tonvik::bridge {

namespace {

// Mode for files we create: the umask applies, as for a plain fopen("wb").
constexpr mode_t new_file_mode = 0666;
// The kernel gives up on symbolic link chains at 40 hops; so do we.
constexpr int max_link_hops = 40;
// 64 random bits per name; a clash only costs another try.
constexpr int max_temp_attempts = 16;

class unique_fd {
 public:
  explicit unique_fd(int fd = -1) noexcept : fd_(fd) {}
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() {
    if (fd_ >= 0) ::close(fd_);
  }

  int get() const noexcept { return fd_; }
  // Closes now and reports the result: a failed close can mean lost data.
  bool close() noexcept {
    const int fd = std::exchange(fd_, -1);
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Removes the temporary file on every way out unless it was renamed into place.
class temp_file_guard {
 public:
  explicit temp_file_guard(std::string path) : path_(std::move(path)) {}
  temp_file_guard(const temp_file_guard&) = delete;
  temp_file_guard& operator=(const temp_file_guard&) = delete;
  ~temp_file_guard() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  const std::string& path() const noexcept { return path_; }
  void commit() noexcept { path_.clear(); }

 private:
  std::string path_;
};

struct split_path {
  std::string directory;  // ends in '/', or is empty for the current directory
  std::string name;
};

split_path split(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {std::string(), path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

struct target {
  std::string path;  // the final name after following symbolic links
  bool exists = false;
  struct stat status {};
};

// Follows symbolic links at the last component, as open(2) would, so that the
// link itself survives and its target is what gets replaced.
bool resolve(const std::string& output_path, target& result) {
  std::string path = output_path;
  for (int hop = 0; hop <= max_link_hops; ++hop) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
      if (errno != ENOENT) return false;
      result.path = std::move(path);
      result.exists = false;
      return true;
    }
    if (!S_ISLNK(status.st_mode)) {
      result.path = std::move(path);
      result.exists = true;
      result.status = status;
      return true;
    }
    std::string link(static_cast<std::size_t>(status.st_size > 0 ? status.st_size : 255) + 1, '\0');
    const ssize_t length = ::readlink(path.c_str(), link.data(), link.size());
    if (length < 0 || static_cast<std::size_t>(length) >= link.size()) return false;
    link.resize(static_cast<std::size_t>(length));
    path = (!link.empty() && link.front() == '/') ? link : split(path).directory + link;
  }
  return false;  // a loop of links, as ELOOP
}

std::uint64_t random_bits() {
  try {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
  } catch (const std::exception&) {
    // No entropy source: O_EXCL still guarantees we never reuse a name.
    static std::uint64_t counter = 0;
    return (static_cast<std::uint64_t>(::getpid()) << 32) ^ ++counter;
  }
}

std::string temp_name(const std::string& directory) {
  static const char digits[] = "0123456789abcdef";
  std::uint64_t bits = random_bits();
  std::string name = directory + ".tonvik-";
  for (int i = 0; i < 16; ++i, bits >>= 4) name += digits[bits & 0xFu];
  return name + ".tmp";
}

bool encode_to(const codec::rgb_image& image, int fd) {
  fd_writer writer(fd);
  return codec::encode_jpeg(image, writer) && writer.flush();
}

// A device, FIFO or the like: written in place, exactly as a plain write.
bool write_directly(const codec::rgb_image& image, const std::string& path) {
  unique_fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, new_file_mode));
  if (fd.get() < 0) return false;
  const bool complete = encode_to(image, fd.get());
  return fd.close() && complete;
}

bool write_by_rename(const codec::rgb_image& image, const target& destination) {
  if (destination.exists) {
    // A plain write needs write permission on the file itself; renaming over a
    // read-only file would sidestep it.
    unique_fd probe(::open(destination.path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
    if (probe.get() < 0 || !probe.close()) return false;
  }
  const split_path parts = split(destination.path);
  if (parts.name.empty()) return false;  // "dir/" names no file

  int raw_fd = -1;
  std::string temp_path;
  for (int attempt = 0; attempt < max_temp_attempts && raw_fd < 0; ++attempt) {
    temp_path = temp_name(parts.directory);
    raw_fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, new_file_mode);
    if (raw_fd < 0 && errno != EEXIST) break;
  }
  if (raw_fd < 0) return false;
  unique_fd fd(raw_fd);
  temp_file_guard guard(temp_path);

  if (!encode_to(image, fd.get())) return false;
  if (destination.exists) {
    const struct stat& old = destination.status;
    // Best effort: only a privileged caller may give the file away; the
    // contents are safe either way.
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
      (void)::fchown(fd.get(), old.st_uid, old.st_gid);
    }
    if (::fchmod(fd.get(), old.st_mode & 07777) != 0) return false;
    // The old contents go away with the rename: the new ones must be on disk first.
    if (::fsync(fd.get()) != 0) return false;
  }
  if (!fd.close()) return false;
  if (::rename(guard.path().c_str(), destination.path.c_str()) != 0) return false;
  guard.commit();
  return true;
}

}  // namespace

bool write_jpeg_file(const codec::rgb_image& image, const std::string& output_path) {
  if (output_path.empty()) return false;
  target destination;
  // The path ends at its first NUL byte, as every open by name does.
  if (!resolve(std::string(output_path.c_str()), destination)) return false;
  if (destination.exists && !S_ISREG(destination.status.st_mode)) {
    return write_directly(image, destination.path);
  }
  return write_by_rename(image, destination);
}

}  // namespace tonvik::bridge
