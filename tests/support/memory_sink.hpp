// The one in-memory byte sink of the tests, fuzzers and benchmarks: keeps
// every byte in order and the size of each commit, and refuses, from then on,
// the first reservation that could pass `limit` bytes (a full disk, in memory).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "byte_sink.hpp"

namespace tonvik_test {

class memory_sink final : public tonvik::codec::byte_sink {
 public:
  explicit memory_sink(std::size_t limit = SIZE_MAX) : limit_(limit) {}

  unsigned char* reserve(std::size_t size) override {
    ++calls;
    if (refused_ || size > limit_ - out.size()) {
      refused_ = true;
      return nullptr;
    }
    room_.resize(size);
    return room_.data();
  }

  void commit(std::size_t size) override {
    out.insert(out.end(), room_.begin(), room_.begin() + static_cast<std::ptrdiff_t>(size));
    sizes.push_back(size);
  }

  std::vector<unsigned char> out;
  std::vector<std::size_t> sizes;  // of each commit
  int calls = 0;                   // every reservation, refused or not

 private:
  std::size_t limit_;
  bool refused_ = false;
  std::vector<unsigned char> room_;
};

}  // namespace tonvik_test
