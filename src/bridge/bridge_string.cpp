// BridgeString: the only place that allocates and releases bridge string
// buffers, so a string made on either side of the bridge is released here.
#include "bridge_string.hpp"

#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

// A broken precondition is thrown, never aborted on: the bridge must not end
// the interpreter's process.
#define TONVIK_BRIDGE_REQUIRE(expression)                                                               \
  do {                                                                                                  \
    if (!(expression)) {                                                                                \
      throw std::invalid_argument(std::string("assertion failed: ") + #expression + " (" __FILE__ ":" + \
                                  std::to_string(__LINE__) + ")");                                      \
    }                                                                                                   \
  } while (false)

constexpr const char* not_utf8_message = "the data for the bridge string is not valid UTF-8";

char* allocate_copy(const char* bytes, std::size_t length) {
  auto* buffer = static_cast<char*>(::operator new(length));
  std::char_traits<char>::copy(buffer, bytes, length);
  return buffer;
}

inline bool is_continuation(unsigned char byte) noexcept { return (byte & 0xC0u) == 0x80u; }

}  // namespace

bool is_valid_utf8(const char* bytes, std::size_t length) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  std::size_t i = 0;
  while (i < length) {
    const unsigned char lead = p[i];
    if (lead < 0x80u) {
      ++i;
      continue;
    }
    std::size_t extra = 0;
    // The second byte's range rules out overlong forms (E0, F0), surrogates
    // (ED) and code points above U+10FFFF (F4); C0, C1 and F5..FF never lead.
    unsigned char low = 0x80u;
    unsigned char high = 0xBFu;
    if (lead >= 0xC2u && lead <= 0xDFu) {
      extra = 1;
    } else if (lead >= 0xE0u && lead <= 0xEFu) {
      extra = 2;
      if (lead == 0xE0u) low = 0xA0u;
      if (lead == 0xEDu) high = 0x9Fu;
    } else if (lead >= 0xF0u && lead <= 0xF4u) {
      extra = 3;
      if (lead == 0xF0u) low = 0x90u;
      if (lead == 0xF4u) high = 0x8Fu;
    } else {
      return false;
    }
    if (length - i <= extra) return false;
    if (p[i + 1] < low || p[i + 1] > high) return false;
    for (std::size_t k = 2; k <= extra; ++k) {
      if (!is_continuation(p[i + k])) return false;
    }
    i += extra + 1;
  }
  return true;
}

BridgeString::BridgeString(const char* bytes, std::size_t length) {
  if (length == 0) return;
  TONVIK_BRIDGE_REQUIRE(bytes != nullptr);
  data_ = allocate_copy(bytes, length);
  capacity_ = length;
  length_ = length;
}

BridgeString::BridgeString(const char* s) {
  TONVIK_BRIDGE_REQUIRE(s != nullptr);
  const std::size_t length = std::char_traits<char>::length(s);
  if (!is_valid_utf8(s, length)) throw std::invalid_argument(not_utf8_message);
  if (length == 0) return;
  data_ = allocate_copy(s, length);
  capacity_ = length;
  length_ = length;
}

BridgeString::BridgeString(BridgeString&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      length_(std::exchange(other.length_, 0)) {}

BridgeString& BridgeString::operator=(BridgeString&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    length_ = std::exchange(other.length_, 0);
  }
  return *this;
}

BridgeString::~BridgeString() { release(); }

std::string BridgeString::to_std_string() const {
  if (length_ == 0) return std::string();
  return std::string(data_, static_cast<std::size_t>(length_));
}

void BridgeString::release() noexcept {
  if (capacity_ != 0) ::operator delete(data_);
  data_ = nullptr;
  capacity_ = 0;
  length_ = 0;
}
