#include "output_file.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
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
// Bits a replaced file keeps: permissions and sticky, not setuid or setgid,
// which the kernel clears on a plain write too.
constexpr mode_t kept_mode_bits = 07777 & ~mode_t{S_ISUID | S_ISGID};

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

// Removes a name on every way out unless it was committed.
class name_guard {
 public:
  name_guard() = default;
  explicit name_guard(std::string path) : path_(std::move(path)) {}
  name_guard(const name_guard&) = delete;
  name_guard& operator=(const name_guard&) = delete;
  ~name_guard() {
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
    // No entropy source: O_EXCL and link(2) still never reuse a name.
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

bool write_to(const file_writer& write, int fd) {
  fd_writer sink(fd);
  return write(sink) && sink.flush();
}

// A pipe, terminal, socket, device or nameless file: written in place,
// exactly as a plain write.
bool write_in_place(const file_writer& write, const std::string& path, const in_place_check& ready) {
  if (ready && !ready()) return false;
  unique_fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, new_file_mode));
  if (fd.get() < 0) return false;
  const bool complete = write_to(write, fd.get());
  return fd.close() && complete;
}

// Carries the replaced file's owner and mode over, then syncs: the old
// contents go away with the rename, so the new ones must be on disk first.
bool take_over(int fd, const struct stat& old) {
  // Best effort: only a privileged caller may give the file away; the
  // contents are safe either way.
  if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) (void)::fchown(fd, old.st_uid, old.st_gid);
  return ::fchmod(fd, old.st_mode & kept_mode_bits) == 0 && ::fsync(fd) == 0;
}

// The outcome of giving an unnamed file a name.
enum class link_result { linked, exists, unsupported, failed };

// Names the unnamed file open on `fd`: through its /proc/self/fd link, which
// needs no privilege, else by AT_EMPTY_PATH where /proc is not mounted.
link_result link_unnamed(int fd, const std::string& name) {
  char proc_path[32];
  std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
  if (::linkat(AT_FDCWD, proc_path, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
    return link_result::linked;
  if (errno == EEXIST) return link_result::exists;
  if (errno != ENOENT) return link_result::failed;
  // No /proc: either the directory went away (then this fails too) or /proc is
  // not mounted.
  if (::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return link_result::linked;
  if (errno == EEXIST) return link_result::exists;
  return (errno == EPERM || errno == ENOENT) ? link_result::unsupported : link_result::failed;
}

// The outcome of the unnamed-file route; `unsupported` sends the caller to
// the named temporary file.
enum class write_result { written, failed, unsupported };

write_result write_unnamed(const file_writer& write, const target& destination, const split_path& parts) {
  const std::string directory = parts.directory.empty() ? std::string(".") : parts.directory;
  unique_fd fd(::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, new_file_mode));
  if (fd.get() < 0) {
    // EISDIR and EINVAL come from kernels that predate O_TMPFILE, EOPNOTSUPP
    // from file systems without it; anything else refuses a named file too.
    return (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) ? write_result::unsupported
                                                                       : write_result::failed;
  }
  if (!write_to(write, fd.get())) return write_result::failed;
  if (destination.exists && !take_over(fd.get(), destination.status)) return write_result::failed;

  if (!destination.exists) {
    // Linked straight under its own name: no other name ever appears.
    const link_result linked = link_unnamed(fd.get(), destination.path);
    if (linked == link_result::linked) {
      name_guard guard(destination.path);
      if (!fd.close()) return write_result::failed;
      guard.commit();
      return write_result::written;
    }
    if (linked == link_result::unsupported) return write_result::unsupported;
    // A file appeared there meanwhile: replace it, as a plain write would.
    if (linked == link_result::failed) return write_result::failed;
  }
  for (int attempt = 0; attempt < max_temp_attempts; ++attempt) {
    const std::string temp_path = temp_name(parts.directory);
    const link_result linked = link_unnamed(fd.get(), temp_path);
    if (linked == link_result::exists) continue;
    if (linked == link_result::unsupported) return write_result::unsupported;
    if (linked == link_result::failed) return write_result::failed;
    name_guard guard(temp_path);
    if (!fd.close()) return write_result::failed;
    if (::rename(temp_path.c_str(), destination.path.c_str()) != 0) return write_result::failed;
    guard.commit();
    return write_result::written;
  }
  return write_result::failed;
}

bool write_named(const file_writer& write, const target& destination, const split_path& parts) {
  int raw_fd = -1;
  std::string temp_path;
  for (int attempt = 0; attempt < max_temp_attempts && raw_fd < 0; ++attempt) {
    temp_path = temp_name(parts.directory);
    raw_fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, new_file_mode);
    if (raw_fd < 0 && errno != EEXIST) break;
  }
  if (raw_fd < 0) return false;
  unique_fd fd(raw_fd);
  name_guard guard(temp_path);

  if (!write_to(write, fd.get())) return false;
  if (destination.exists && !take_over(fd.get(), destination.status)) return false;
  if (!fd.close()) return false;
  if (::rename(guard.path().c_str(), destination.path.c_str()) != 0) return false;
  guard.commit();
  return true;
}

bool write_regular(const file_writer& write, const target& destination, detail::temp_kind kind) {
  // A plain write needs write permission on the file itself; renaming over a
  // read-only file would sidestep it.
  if (destination.exists && ::faccessat(AT_FDCWD, destination.path.c_str(), W_OK, AT_EACCESS) != 0) {
    return false;
  }
  const split_path parts = split(destination.path);
  if (parts.name.empty()) return false;  // "dir/" names no file
  if (kind == detail::temp_kind::unnamed_first) {
    const write_result result = write_unnamed(write, destination, parts);
    if (result != write_result::unsupported) return result == write_result::written;
  }
  return write_named(write, destination, parts);
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

namespace detail {

bool write_output_file(const std::string& output_path, const file_writer& write, temp_kind kind,
                       const in_place_check& ready_for_in_place) {
  // The path ends at its first NUL byte, as every open by name does.
  const std::string path(output_path.c_str());
  if (path.empty()) return false;
  // The usual cases, a new file or a plain one, take a single lstat.
  target destination;
  const bool found = ::lstat(path.c_str(), &destination.status) == 0;
  if (found && !S_ISLNK(destination.status.st_mode)) {
    if (!S_ISREG(destination.status.st_mode)) return write_in_place(write, path, ready_for_in_place);
    destination.path = path;
    destination.exists = true;
    return write_regular(write, destination, kind);
  }
  if (!found && errno == ENOENT) {
    destination.path = path;
    return write_regular(write, destination, kind);
  }
  // Links: what open(2) would reach through every kind of them, the kernel
  // following /proc/self/fd links to pipes and sockets that have no path.
  struct stat reached {};
  const bool exists = ::stat(path.c_str(), &reached) == 0;
  if (exists && !S_ISREG(reached.st_mode)) return write_in_place(write, path, ready_for_in_place);
  if (!resolve(path, destination)) return false;
  // A /proc/self/fd link whose text names no path to the same file (an
  // unlinked file, another mount namespace) can only be reached by opening it.
  if (exists && !(destination.exists && same_file(destination.status, reached))) {
    return write_in_place(write, path, ready_for_in_place);
  }
  return write_regular(write, destination, kind);
}

}  // namespace detail

bool write_output_file(const std::string& output_path, const file_writer& write,
                       const in_place_check& ready_for_in_place) {
  return detail::write_output_file(output_path, write, detail::temp_kind::unnamed_first, ready_for_in_place);
}

}  // namespace tonvik::bridge
