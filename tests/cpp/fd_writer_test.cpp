#include "fd_writer.hpp"

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "bridge_test_files.hpp"

namespace {

using tonvik::bridge::fd_writer;
using namespace tonvik::bridge::testing;

TEST(FdWriterTest, BytesArriveInOrderAcrossBufferBoundaries) {
  scratch_dir dir;
  const std::string path = dir.file("bytes");
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  std::string expected;
  {
    fd_writer writer(fd);
    // Small pieces, one piece that straddles the buffer end, one larger than
    // it; those an encoder may reserve are written into the lent buffer.
    const std::vector<std::size_t> sizes = {
        1, 7, fd_writer::buffer_size - 5, 64, fd_writer::buffer_size * 2 + 3, 2, fd_writer::min_reserve};
    unsigned char next = 0;
    for (std::size_t size : sizes) {
      std::vector<unsigned char> piece(size);
      for (auto& byte : piece) byte = next++;
      if (size <= fd_writer::min_reserve) {
        unsigned char* room = writer.reserve(size);
        ASSERT_NE(room, nullptr);
        std::copy(piece.begin(), piece.end(), room);
        writer.commit(size);
      } else {
        ASSERT_TRUE(writer.put(piece.data(), piece.size()));
      }
      expected.append(piece.begin(), piece.end());
    }
    ASSERT_TRUE(writer.flush());
    EXPECT_FALSE(writer.failed());
  }
  ::close(fd);
  EXPECT_EQ(read_file(path), expected);
}

TEST(FdWriterTest, FullDeviceFailureLatches) {
  const int fd = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(fd, 0);
  fd_writer writer(fd);
  const unsigned char byte = 1;
  EXPECT_TRUE(writer.put(&byte, 1)) << "only buffered so far";
  EXPECT_FALSE(writer.flush());
  EXPECT_EQ(writer.error_number(), ENOSPC);
  EXPECT_FALSE(writer.put(&byte, 1));
  EXPECT_EQ(writer.reserve(1), nullptr);
  EXPECT_FALSE(writer.flush());
  ::close(fd);
}

TEST(FdWriterTest, ClosedDescriptorFails) {
  fd_writer writer(-1);
  const unsigned char byte = 1;
  writer.put(&byte, 1);
  EXPECT_FALSE(writer.flush());
  EXPECT_EQ(writer.error_number(), EBADF);
}

}  // namespace
