// Shared helpers of the bridge tests: a scratch directory, small files, a
// check run as an unprivileged user; the inputs come from test_inputs.hpp.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_inputs.hpp"

namespace tonvik::bridge::testing {

using namespace ::tonvik_test;

class scratch_dir {
 public:
  scratch_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tonvik-bridge-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;

  std::string file(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

 private:
  std::filesystem::path path_;
};

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  ASSERT_TRUE(out.good()) << path;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The user a permission check runs as when the tests run as root, who reads
// and writes any file: "nobody" on Debian and most Linux systems.
inline constexpr uid_t unprivileged_id = 65534;

// Runs `check` as a user that file permissions apply to. Under root it runs in
// a forked child that gives up root for good first; the child's failures are
// printed as usual and fail the calling test through its exit status. Files
// the check makes must be made inside it, where the user can reach them: a
// fresh scratch_dir in the system's temporary folder will do.
template <class Check>
void as_unprivileged(Check check) {
  if (::geteuid() != 0) {
    check();
    return;
  }
#ifdef TONVIK_TEST_UNDER_EMULATOR
  // qemu's user mode hangs a forked child before it returns from fork. What
  // these checks see is the kernel's permission rules, the same on every
  // architecture, and the native run covers them.
  GTEST_SKIP() << "dropping root needs fork, which hangs under the user-mode emulator";
#endif
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    int status = 3;
    if (::setgroups(0, nullptr) == 0 && ::setgid(unprivileged_id) == 0 && ::setuid(unprivileged_id) == 0) {
      try {
        check();
        status = ::testing::Test::HasFailure() ? 1 : 0;
      } catch (const std::exception& error) {
        std::fprintf(stderr, "unexpected exception: %s\n", error.what());
        status = 2;
      }
    }
    std::fflush(nullptr);
    ::_exit(status);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the unprivileged check ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "the unprivileged check failed (1), threw (2) or could not drop root (3)";
}

inline bool is_jpeg(const std::string& bytes) {
  return bytes.size() > 4 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
         static_cast<unsigned char>(bytes[1]) == 0xD8 &&
         static_cast<unsigned char>(bytes[bytes.size() - 2]) == 0xFF &&
         static_cast<unsigned char>(bytes[bytes.size() - 1]) == 0xD9;
}

}  // namespace tonvik::bridge::testing
