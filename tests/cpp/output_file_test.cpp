#include "output_file.hpp"

#include <algorithm>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "bridge_test_files.hpp"

namespace {

// What the path `synced_path` held at each fsync of this process (the hook
// below takes the place of the C library's fsync for the whole test binary).
std::string synced_path;
std::vector<std::string> held_at_sync;

}  // namespace

extern "C" int fsync(int fd) {
  if (!synced_path.empty()) held_at_sync.push_back(tonvik::bridge::testing::read_file(synced_path));
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace {

using namespace tonvik::bridge;
using tonvik::codec::byte_sink;
using namespace tonvik::bridge::testing;

class unique_descriptor {
 public:
  explicit unique_descriptor(int fd = -1) : fd_(fd) {}
  unique_descriptor(const unique_descriptor&) = delete;
  unique_descriptor& operator=(const unique_descriptor&) = delete;
  ~unique_descriptor() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Everything readable from `fd` now (from `offset` when given), without waiting.
std::string read_all(int fd, off_t offset = -1) {
  std::string bytes;
  char chunk[65536];
  for (;;) {
    const ssize_t got =
        offset < 0 ? ::read(fd, chunk, sizeof chunk) : ::pread(fd, chunk, sizeof chunk, offset);
    if (got <= 0) break;
    bytes.append(chunk, static_cast<std::size_t>(got));
    if (offset >= 0) offset += got;
  }
  return bytes;
}

// What every case writes: 300 KB in 4 KiB puts, more than the file
// writer buffers and within the room of the pipes below.
const std::string payload = [] {
  std::string bytes(300'000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  return bytes;
}();

bool fill(byte_sink& sink) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(payload.data());
  for (std::size_t at = 0; at < payload.size(); at += 4096) {
    if (!sink.put(bytes + at, std::min<std::size_t>(4096, payload.size() - at))) return false;
  }
  return true;
}

mode_t permission_bits(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

// Caps the size of any file this process writes, so a write fails part way
// as it would on a full disk; the signal that would end the process is ignored.
class file_size_cap {
 public:
  explicit file_size_cap(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit capped = saved_;
    capped.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &capped);
  }
  ~file_size_cap() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit saved_{};
  void (*old_handler_)(int) = nullptr;
};

// Every case runs on both routes: the unnamed file (O_TMPFILE) that file
// systems offer today, and the named temporary file for those without it.
class OutputFileTest : public ::testing::TestWithParam<detail::temp_kind> {
 protected:
  bool write(const std::string& path, const file_writer& writer = fill) {
    return detail::write_output_file(path, writer, GetParam());
  }

  scratch_dir dir;
};

TEST_P(OutputFileTest, NewFileGetsUmaskModeAndNoLeftovers) {
  const mode_t old_mask = ::umask(022);
  const std::string output = dir.file("new.jpg");
  EXPECT_TRUE(write(output));
  ::umask(old_mask);
  EXPECT_TRUE(read_file(output) == payload);
  EXPECT_EQ(permission_bits(output), 0644u);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"new.jpg"});
}

TEST_P(OutputFileTest, ReplacedFileKeepsItsPermissionBits) {
  const std::string output = dir.file("old.jpg");
  write_file(output, "old");
  ASSERT_EQ(::chmod(output.c_str(), 0640), 0);
  synced_path = output;
  held_at_sync.clear();
  EXPECT_TRUE(write(output));
  synced_path.clear();
  EXPECT_TRUE(read_file(output) == payload);
  EXPECT_EQ(permission_bits(output), 0640u);
  // The new file was synced once, before it replaced the old one.
  EXPECT_EQ(held_at_sync, std::vector<std::string>{"old"});
}

TEST_P(OutputFileTest, SymbolicLinksStayAndTheirTargetIsReplaced) {
  const std::string target = dir.file("target.jpg");
  write_file(target, "old");
  ASSERT_EQ(::symlink("target.jpg", dir.file("hop1").c_str()), 0);              // relative
  ASSERT_EQ(::symlink(dir.file("hop1").c_str(), dir.file("hop2").c_str()), 0);  // absolute
  ASSERT_EQ(::symlink("absent.jpg", dir.file("dangling").c_str()), 0);

  EXPECT_TRUE(write(dir.file("hop2")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("hop2")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("hop1")));
  EXPECT_TRUE(read_file(target) == payload);

  EXPECT_TRUE(write(dir.file("dangling")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("dangling")));
  EXPECT_TRUE(read_file(dir.file("absent.jpg")) == payload);
}

TEST_P(OutputFileTest, LinkLoopIsNotWritten) {
  ASSERT_EQ(::symlink("loop_b", dir.file("loop_a").c_str()), 0);
  ASSERT_EQ(::symlink("loop_a", dir.file("loop_b").c_str()), 0);
  EXPECT_FALSE(write(dir.file("loop_a")));
}

TEST_P(OutputFileTest, FailedWriteKeepsOldContentsAndRemovesTemporaryFile) {
  const std::string output = dir.file("keep.jpg");
  write_file(output, "precious");
  {
    const file_size_cap cap(1024);
    EXPECT_FALSE(write(output));
    EXPECT_FALSE(write(dir.file("fresh.jpg")));
    EXPECT_FALSE(write(output, [](byte_sink&) { return false; })) << "a writer that fails";
  }
  EXPECT_EQ(read_file(output), "precious");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"keep.jpg"});
}

TEST_P(OutputFileTest, DeviceIsWrittenDirectly) {
  EXPECT_TRUE(write("/dev/null"));
  struct stat status {};
  ASSERT_EQ(::stat("/dev/null", &status), 0);
  EXPECT_TRUE(S_ISCHR(status.st_mode)) << "never renamed over";
  EXPECT_FALSE(write("/dev/full"));
}

TEST_P(OutputFileTest, PermissionsAreHonouredLikeAPlainWrite) {
  as_unprivileged([&] {
    const scratch_dir own;
    const std::string read_only = own.file("read_only.jpg");
    write_file(read_only, "old");
    ASSERT_EQ(::chmod(read_only.c_str(), 0444), 0);
    EXPECT_FALSE(write(read_only));
    EXPECT_EQ(read_file(read_only), "old");

    // A writable file in a directory that refuses new entries: kept, not risked.
    const std::string locked = own.file("locked");
    ASSERT_TRUE(std::filesystem::create_directory(locked));
    write_file(locked + "/file.jpg", "old");
    ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
    EXPECT_FALSE(write(locked + "/file.jpg"));
    EXPECT_EQ(read_file(locked + "/file.jpg"), "old");
    ::chmod(locked.c_str(), 0755);
    EXPECT_EQ(own.entries().size(), 2u) << "no temporary left beside the read-only file";
  });
}

TEST_P(OutputFileTest, SetuidAndSetgidAreDroppedFromAReplacedFile) {
  const std::string output = dir.file("tool.jpg");
  write_file(output, "old");
  ASSERT_EQ(::chmod(output.c_str(), 07755), 0);
  EXPECT_TRUE(write(output));
  EXPECT_EQ(permission_bits(output), 01755u) << "sticky and permission bits stay";
}

TEST_P(OutputFileTest, PipeBehindProcSelfFdReceivesTheJpeg) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const unique_descriptor reader(ends[0]);
  unique_descriptor writer(ends[1]);
  // Room for the whole JPEG, so the write completes without a reader running.
  ASSERT_GE(::fcntl(writer.get(), F_SETPIPE_SZ, 1 << 20), 1 << 20);
  EXPECT_TRUE(write("/proc/self/fd/" + std::to_string(writer.get())));
  writer.reset();
  EXPECT_TRUE(read_all(reader.get()) == payload);
}

TEST_P(OutputFileTest, FifoIsWrittenInPlace) {
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Held open for reading and writing, so opening it to write does not wait.
  const unique_descriptor reader(::open(fifo.c_str(), O_RDWR | O_NONBLOCK));
  ASSERT_GE(reader.get(), 0);
  ASSERT_GE(::fcntl(reader.get(), F_SETPIPE_SZ, 1 << 20), 1 << 20);
  EXPECT_TRUE(write(fifo));
  EXPECT_TRUE(read_all(reader.get()) == payload);
  struct stat status {};
  ASSERT_EQ(::lstat(fifo.c_str(), &status), 0);
  EXPECT_TRUE(S_ISFIFO(status.st_mode)) << "never renamed over";
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"fifo"});
}

TEST_P(OutputFileTest, ProcSelfFdOfANamelessFileWritesThatFile) {
  // The link reads "<path> (deleted)": no such name may be created.
  const std::string gone = dir.file("gone.jpg");
  const unique_descriptor fd(::open(gone.c_str(), O_RDWR | O_CREAT, 0600));
  ASSERT_GE(fd.get(), 0);
  ASSERT_EQ(::unlink(gone.c_str()), 0);
  EXPECT_TRUE(write("/proc/self/fd/" + std::to_string(fd.get())));
  EXPECT_TRUE(read_all(fd.get(), 0) == payload);
  EXPECT_TRUE(dir.entries().empty());
}

TEST_P(OutputFileTest, ProcSelfFdOfANamedFileReplacesThatFile) {
  const std::string output = dir.file("named.jpg");
  write_file(output, "old");
  const unique_descriptor fd(::open(output.c_str(), O_RDONLY));
  ASSERT_GE(fd.get(), 0);
  EXPECT_TRUE(write("/proc/self/fd/" + std::to_string(fd.get())));
  EXPECT_TRUE(read_file(output) == payload);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"named.jpg"});
}

INSTANTIATE_TEST_SUITE_P(Routes, OutputFileTest,
                         ::testing::Values(detail::temp_kind::unnamed_first, detail::temp_kind::named),
                         [](const auto& info) {
                           return info.param == detail::temp_kind::named ? "named" : "unnamed";
                         });

// Names created in a directory while a file is written, as inotify reports
// them: the unnamed route must create none but the final one.
std::vector<std::string> names_created_while(const std::string& directory,
                                             const std::function<void()>& work) {
  const unique_descriptor watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  EXPECT_GE(watch.get(), 0);
  EXPECT_GE(::inotify_add_watch(watch.get(), directory.c_str(), IN_CREATE | IN_MOVED_TO), 0);
  work();
  std::vector<std::string> names;
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(watch.get(), buffer, sizeof buffer);
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      names.push_back(std::string(event->len ? event->name : "") +
                      ((event->mask & IN_MOVED_TO) ? " (renamed in)" : ""));
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return names;
}

bool unnamed_files_supported(const std::string& directory) {
  const unique_descriptor fd(::open(directory.c_str(), O_TMPFILE | O_WRONLY, 0600));
  return fd.get() >= 0;
}

TEST(OutputFileNames, ANewFileAppearsOnlyUnderItsOwnNameAndComplete) {
  scratch_dir dir;
  if (!unnamed_files_supported(dir.path().string())) GTEST_SKIP() << "no O_TMPFILE on " << dir.path();
  const std::string output = dir.file("new.jpg");
  const auto names =
      names_created_while(dir.path().string(), [&] { EXPECT_TRUE(write_output_file(output, fill)); });
  EXPECT_EQ(names, std::vector<std::string>{"new.jpg"});
  EXPECT_TRUE(read_file(output) == payload);
}

TEST(OutputFileNames, AFailedWriteCreatesNoName) {
  scratch_dir dir;
  if (!unnamed_files_supported(dir.path().string())) GTEST_SKIP() << "no O_TMPFILE on " << dir.path();
  write_file(dir.file("keep.jpg"), "precious");
  const auto names = names_created_while(dir.path().string(), [&] {
    const file_size_cap cap(1024);
    EXPECT_FALSE(write_output_file(dir.file("keep.jpg"), fill));
    EXPECT_FALSE(write_output_file(dir.file("fresh.jpg"), fill));
  });
  EXPECT_TRUE(names.empty()) << names.front();
  EXPECT_EQ(read_file(dir.file("keep.jpg")), "precious");
}

TEST(OutputFileNames, AReplacedFileIsRenamedOverInOneStep) {
  scratch_dir dir;
  if (!unnamed_files_supported(dir.path().string())) GTEST_SKIP() << "no O_TMPFILE on " << dir.path();
  write_file(dir.file("old.jpg"), "old");
  const auto names = names_created_while(dir.path().string(),
                                         [&] { EXPECT_TRUE(write_output_file(dir.file("old.jpg"), fill)); });
  // The complete file gets a temporary name and is renamed at once.
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0].rfind(".tonvik-", 0), 0u) << names[0];
  EXPECT_EQ(names[1], "old.jpg (renamed in)");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"old.jpg"});
}

}  // namespace
