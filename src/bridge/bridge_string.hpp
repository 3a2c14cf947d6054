// BridgeString: owned, length-counted UTF-8 text, the only data type that
// crosses between the Python binding and the engine.
//
// Ownership: exactly one owner. A move hands the buffer over and leaves the
// source empty (no buffer, length 0). The destructor releases the buffer.
// Buffers come from and go back to the operations in bridge_string.cpp only,
// so a string made on one side of the bridge may be released on the other.
//
// Invariants: valid UTF-8, no stored terminator, embedded NUL bytes allowed,
// an empty string owns no buffer (capacity 0).
//
//   BridgeString s("success:ok");          // checked: throws if not UTF-8
//   std::string copy = s.to_std_string();   // all length() bytes, NULs included
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

class BridgeString {
 public:
  BridgeString() noexcept = default;
  // Copies `length` bytes that the caller already knows to be UTF-8.
  BridgeString(const char* bytes, std::size_t length);
  // Copies a NUL-terminated string; throws std::invalid_argument when it is
  // not valid UTF-8 (nothing is created then).
  explicit BridgeString(const char* text);

  BridgeString(BridgeString&& other) noexcept;
  BridgeString& operator=(BridgeString&& other) noexcept;
  BridgeString(const BridgeString&) = delete;
  BridgeString& operator=(const BridgeString&) = delete;
  ~BridgeString();

  const char* data() const noexcept { return data_; }
  std::uint64_t length() const noexcept { return length_; }
  std::uint64_t capacity() const noexcept { return capacity_; }
  std::string to_std_string() const;

 private:
  friend struct bridge_string_layout;

  void release() noexcept;

  char* data_ = nullptr;
  std::uint64_t capacity_ = 0;
  std::uint64_t length_ = 0;
};

// The layout is part of the bridge's contract: the binding places strings in
// raw storage, and tests/python/test_bridge_outcomes.py's stand-in bridge,
// written in C, reads and writes them as struct { char* data; uint64_t
// capacity; uint64_t length; }. A change here must change that stand-in too.
struct bridge_string_layout {
  static_assert(std::is_standard_layout_v<BridgeString>);
  static_assert(offsetof(BridgeString, data_) == 0);
  static_assert(offsetof(BridgeString, capacity_) == sizeof(char*));
  static_assert(offsetof(BridgeString, length_) == sizeof(char*) + sizeof(std::uint64_t));
  static_assert(sizeof(BridgeString) == sizeof(char*) + 2 * sizeof(std::uint64_t));
};

// True when [bytes, bytes + length) is well-formed UTF-8: shortest forms only,
// no encoded surrogates, nothing above U+10FFFF.
bool is_valid_utf8(const char* bytes, std::size_t length) noexcept;
