#include "interned_names.hpp"

#include <cstddef>

#include "python_error.hpp"

namespace tonvik {
namespace {

constexpr const char* kTexts[] = {
    "__name__", "__all__", "__qualname__", "lut_path", "image_path", "output_path",
};
constexpr std::size_t kCount = sizeof kTexts / sizeof kTexts[0];
static_assert(kCount == static_cast<std::size_t>(InternedName::count),
              "one text per InternedName, in the enum's order");

// Filled under the GIL and never released: the module has no teardown.
PyObject* g_interned[kCount] = {};

}  // namespace

PyObject* interned(InternedName name) {
  const auto index = static_cast<std::size_t>(name);
  if (g_interned[index] == nullptr) {
    PyObject* text = PyUnicode_FromString(kTexts[index]);
    if (text == nullptr) throw_pending_error();
    PyUnicode_InternInPlace(&text);
    g_interned[index] = text;
  }
  return g_interned[index];
}

}  // namespace tonvik
