// The three plain entry points between the binding layer and the engine.
//
// Nothing is thrown across them: every C++ exception is caught inside and
// handed back as a BridgeOutcome plus a message, so the binding decides what
// the Python caller sees and no exception unwinds through an interpreter frame.
//
//   BridgeClient* client = nullptr;
//   if (tonvik_bridge_client_new(&client) == BridgeOutcome::ok) {
//     alignas(BridgeString) unsigned char storage[sizeof(BridgeString)];
//     int32_t os_error = 0;
//     BridgeOutcome outcome = tonvik_bridge_apply_lut(client, &lut, &image,
//                                                     &output, storage, &os_error);
//     auto* result = reinterpret_cast<BridgeString*>(storage);
//     ... read result->data(), result->length() ...
//     std::destroy_at(result);
//   }
//   tonvik_bridge_client_drop(&client);
#pragma once

#include <cstdint>

#include "bridge_string.hpp"

class BridgeClient;

enum class BridgeOutcome : std::int32_t {
  ok = 0,              // result holds the status string
  lut_unopenable = 1,  // result holds "failed to open the file: <path>", os_error the errno
  invalid_input = 2,   // a malformed LUT (the engine's parse_error): result holds what()
  out_of_memory = 3,   // std::bad_alloc: result holds what() (or is empty)
  internal_error = 4,  // a fault of ours, any other exception (exception_outcome.hpp): result holds what()
};

extern "C" {

// Creates a client; ownership passes to the caller. On failure *client stays
// null and the outcome says why.
BridgeOutcome tonvik_bridge_client_new(BridgeClient** client) noexcept;

// Takes the three strings over as they are: the caller treats them as moved
// out and never touches them again. Always constructs a BridgeString in
// `result_storage` (uninitialised, suitably aligned), which the caller owns
// and destroys. `os_error` receives the errno of an unopenable LUT file, else 0.
BridgeOutcome tonvik_bridge_apply_lut(const BridgeClient* client, BridgeString* lut_path,
                                      BridgeString* image_path, BridgeString* output_path,
                                      void* result_storage, std::int32_t* os_error) noexcept;

// Deletes *client when it is not null and sets it to null; null is no error.
void tonvik_bridge_client_drop(BridgeClient** client) noexcept;

}  // extern "C"
