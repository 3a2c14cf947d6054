// Which BridgeOutcome an exception from the engine or the bridge is: the one
// place that classes them, so that the binding sees a caller's mistake and a
// fault of ours as different outcomes.
//
//   lut_open_error             -> lut_unopenable (with its errno)
//   parse_error (a bad LUT)    -> invalid_input
//   std::bad_alloc             -> out_of_memory
//   everything else            -> internal_error, among them the engine's
//                                 precondition_error and the bridge's broken
//                                 invariants (std::invalid_argument): no input
//                                 a caller chooses should reach them.
//
// Call only inside a catch handler:
//
//   try { ... } catch (...) { const exception_outcome o = classify_current_exception(); }
#pragma once

#include <cstdint>
#include <exception>
#include <new>

#include "bridge_api.hpp"
#include "lut.hpp"
#include "lut_open_error.hpp"

namespace tonvik::bridge {

struct exception_outcome {
  BridgeOutcome outcome;
  std::int32_t os_error;  // errno of an unopenable LUT file, else 0
  const char* message;    // owned by the exception still in flight
};

inline constexpr const char* unknown_exception_message = "unknown exception in the engine";

// Most specific types first.
inline exception_outcome classify_current_exception() noexcept {
  try {
    throw;
  } catch (const lut_open_error& error) {
    return {BridgeOutcome::lut_unopenable, error.error_number(), error.what()};
  } catch (const vireth::image::detail::parse_error& error) {
    return {BridgeOutcome::invalid_input, 0, error.what()};
  } catch (const std::bad_alloc& error) {
    return {BridgeOutcome::out_of_memory, 0, error.what()};
  } catch (const std::exception& error) {
    return {BridgeOutcome::internal_error, 0, error.what()};
  } catch (...) {
    return {BridgeOutcome::internal_error, 0, unknown_exception_message};
  }
}

}  // namespace tonvik::bridge
