// A check that stays on in release builds: a broken precondition throws
// detail::precondition_error naming the expression, file and line, so that a
// caller's process (a Python interpreter) survives it.
#pragma once

#include "lut.hpp"

#define VIRETH_REQUIRE(condition)                                                                        \
  do {                                                                                                   \
    if (!(condition)) throw ::vireth::image::detail::precondition_error(#condition, __FILE__, __LINE__); \
  } while (false)
