// The one in-memory byte sink of the tests, fuzzers and benchmarks: keeps
// every byte in order and the size of each put, and refuses, from then on,
// the first put that would pass `limit` bytes (a full disk, in memory).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "byte_sink.hpp"

namespace tonvik_test {

class memory_sink final : public tonvik::codec::byte_sink {
 public:
  explicit memory_sink(std::size_t limit = SIZE_MAX) : limit_(limit) {}

  bool put(const unsigned char* data, std::size_t size) override {
    ++calls;
    if (refused_ || size > limit_ - out.size()) {
      refused_ = true;
      return false;
    }
    out.insert(out.end(), data, data + size);
    sizes.push_back(size);
    return true;
  }

  std::vector<unsigned char> out;
  std::vector<std::size_t> sizes;  // of each accepted put
  int calls = 0;                   // every put, refused or not

 private:
  std::size_t limit_;
  bool refused_ = false;
};

}  // namespace tonvik_test
