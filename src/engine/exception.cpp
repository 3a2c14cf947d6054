#include <string>

#include "lut.hpp"

namespace vireth::image::detail {

std::string message_prefix(const std::string& kind, std::int32_t id) {
  return "[lut.exception." + kind + "." + std::to_string(id) + "] ";
}

namespace {

std::string parse_error_message(std::int32_t id, std::uint64_t position, const std::string& detail) {
  std::string text = message_prefix("parse_error", id) + "parse error";
  if (position != 0) text += " at " + std::to_string(position);
  return text + ": " + detail;
}

std::string precondition_message(const char* expression, const char* file, int line) {
  return message_prefix("precondition_error", 0) + "precondition failed: " + expression + " (" + file + ":" +
         std::to_string(line) + ")";
}

}  // namespace

parse_error::parse_error(std::int32_t id_, std::uint64_t position_, const std::string& detail)
    : exception(id_, parse_error_message(id_, position_, detail)), position(position_) {}

precondition_error::precondition_error(const char* expression, const char* file, int line)
    : exception(0, precondition_message(expression, file, line)) {}

}  // namespace vireth::image::detail
