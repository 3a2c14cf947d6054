// Differential fuzz target: the engine's cube reader and its field scanner
// against the stream-based reference reader, on arbitrary bytes. Any
// difference in the table, the error or a single float's bits aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cube_differential.hpp"

namespace {

// Field-level checks cost a string stream per line; the first lines of an
// input are enough to reach every scanner state.
constexpr std::size_t max_field_lines = 64;

std::string first_difference(const std::string& text) {
  std::string report = tonvik_test::compare_readers(text);
  std::size_t start = 0;
  for (std::size_t line = 0; report.empty() && line < max_field_lines && start <= text.size(); ++line) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    report = tonvik_test::compare_fields(text.substr(start, end - start));
    start = end + 1;
  }
  return report;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string report = first_difference(text);
  if (!report.empty()) {
    std::fprintf(stderr, "%s\n", report.c_str());
    std::abort();
  }
  return 0;
}
