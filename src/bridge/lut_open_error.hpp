// lut_open_error: the LUT file could not be opened (missing, unreadable, or a
// directory). Carries the errno so the binding can pick the matching OSError.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tonvik::bridge {

inline constexpr const char* lut_open_error_prefix = "failed to open the file: ";

class lut_open_error : public std::runtime_error {
 public:
  lut_open_error(const std::string& path, int error_number)
      : std::runtime_error(lut_open_error_prefix + path), error_number_(error_number) {}

  std::int32_t error_number() const noexcept { return error_number_; }

 private:
  std::int32_t error_number_;
};

}  // namespace tonvik::bridge
