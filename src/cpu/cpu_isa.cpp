#include "cpu_isa.hpp"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace tonvik::cpu {

namespace {

isa probed() noexcept {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2")) {
    return isa::avx2;
  }
  return isa::sse2;  // part of x86-64 itself
#else
  return isa::portable;
#endif
}

isa capped(isa level) noexcept {
  const char* forced = std::getenv("TONVIK_FORCE_ISA");
  if (forced == nullptr) return level;
  for (isa candidate : {isa::portable, isa::sse2, isa::avx2}) {
    if (std::strcmp(forced, name_of(candidate)) == 0) return candidate < level ? candidate : level;
  }
  return level;
}

}  // namespace

isa chosen() noexcept {
  static const isa level = capped(probed());
  return level;
}

bool runs(isa level) noexcept { return level <= chosen(); }

const char* name_of(isa level) noexcept {
  switch (level) {
    case isa::portable: return "portable";
    case isa::sse2: return "sse2";
    case isa::avx2: return "avx2";
  }
  return "unknown";
}

}  // namespace tonvik::cpu
