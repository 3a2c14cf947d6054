#include "output_file.hpp"

#include <csignal>
#include <string>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bridge_test_files.hpp"

namespace {

using namespace tonvik::bridge;
using namespace tonvik::codec;
using namespace tonvik::bridge::testing;

rgb_image grey_image(int width, int height) {
  const std::string bytes = grey_ppm(width, height, 90);
  decoded result = decode_memory(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  EXPECT_EQ(result.status, decode_status::decoded);
  return std::move(result.image);
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

class OutputFileTest : public ::testing::Test {
 protected:
  scratch_dir dir;
  const rgb_image image = grey_image(300, 200);
};

TEST_F(OutputFileTest, NewFileGetsUmaskModeAndNoLeftovers) {
  const mode_t old_mask = ::umask(022);
  const std::string output = dir.file("new.jpg");
  EXPECT_TRUE(write_jpeg_file(image, output));
  ::umask(old_mask);
  EXPECT_TRUE(is_jpeg(read_file(output)));
  EXPECT_EQ(permission_bits(output), 0644u);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"new.jpg"});
}

TEST_F(OutputFileTest, ReplacedFileKeepsItsPermissionBits) {
  const std::string output = dir.file("old.jpg");
  write_file(output, "old");
  ASSERT_EQ(::chmod(output.c_str(), 0640), 0);
  EXPECT_TRUE(write_jpeg_file(image, output));
  EXPECT_TRUE(is_jpeg(read_file(output)));
  EXPECT_EQ(permission_bits(output), 0640u);
}

TEST_F(OutputFileTest, SymbolicLinksStayAndTheirTargetIsReplaced) {
  const std::string target = dir.file("target.jpg");
  write_file(target, "old");
  ASSERT_EQ(::symlink("target.jpg", dir.file("hop1").c_str()), 0);              // relative
  ASSERT_EQ(::symlink(dir.file("hop1").c_str(), dir.file("hop2").c_str()), 0);  // absolute
  ASSERT_EQ(::symlink("absent.jpg", dir.file("dangling").c_str()), 0);

  EXPECT_TRUE(write_jpeg_file(image, dir.file("hop2")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("hop2")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("hop1")));
  EXPECT_TRUE(is_jpeg(read_file(target)));

  EXPECT_TRUE(write_jpeg_file(image, dir.file("dangling")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("dangling")));
  EXPECT_TRUE(is_jpeg(read_file(dir.file("absent.jpg"))));
}

TEST_F(OutputFileTest, LinkLoopIsNotWritten) {
  ASSERT_EQ(::symlink("loop_b", dir.file("loop_a").c_str()), 0);
  ASSERT_EQ(::symlink("loop_a", dir.file("loop_b").c_str()), 0);
  EXPECT_FALSE(write_jpeg_file(image, dir.file("loop_a")));
}

TEST_F(OutputFileTest, FailedWriteKeepsOldContentsAndRemovesTemporaryFile) {
  const std::string output = dir.file("keep.jpg");
  write_file(output, "precious");
  {
    const file_size_cap cap(1024);  // far below the JPEG of a 300x200 image
    EXPECT_FALSE(write_jpeg_file(image, output));
    EXPECT_FALSE(write_jpeg_file(image, dir.file("fresh.jpg")));
  }
  EXPECT_EQ(read_file(output), "precious");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"keep.jpg"});
}

TEST_F(OutputFileTest, DeviceIsWrittenDirectly) {
  EXPECT_TRUE(write_jpeg_file(image, "/dev/null"));
  struct stat status {};
  ASSERT_EQ(::stat("/dev/null", &status), 0);
  EXPECT_TRUE(S_ISCHR(status.st_mode)) << "never renamed over";
  EXPECT_FALSE(write_jpeg_file(image, "/dev/full"));
}

TEST_F(OutputFileTest, PermissionsAreHonouredLikeAPlainWrite) {
  as_unprivileged([&] {
    const scratch_dir own;
    const std::string read_only = own.file("read_only.jpg");
    write_file(read_only, "old");
    ASSERT_EQ(::chmod(read_only.c_str(), 0444), 0);
    EXPECT_FALSE(write_jpeg_file(image, read_only));
    EXPECT_EQ(read_file(read_only), "old");

    // A writable file in a directory that refuses new entries: kept, not risked.
    const std::string locked = own.file("locked");
    ASSERT_TRUE(std::filesystem::create_directory(locked));
    write_file(locked + "/file.jpg", "old");
    ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
    EXPECT_FALSE(write_jpeg_file(image, locked + "/file.jpg"));
    EXPECT_EQ(read_file(locked + "/file.jpg"), "old");
    ::chmod(locked.c_str(), 0755);
    EXPECT_EQ(own.entries().size(), 2u) << "no temporary left beside the read-only file";
  });
}

}  // namespace
