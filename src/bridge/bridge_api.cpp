// The three entry points: one guard each, so no exception ever unwinds into
// the binding layer's C frames.
#include "bridge_api.hpp"

#include <new>
#include <string>
#include <utility>

#include "bridge_client.hpp"
#include "exception_outcome.hpp"

namespace {

constexpr const char* missing_argument_message = "a null pointer was passed to the bridge";

std::size_t valid_utf8_prefix(const char* text, std::size_t length) noexcept {
  std::size_t end = 0;
  while (end < length) {
    const auto lead = static_cast<unsigned char>(text[end]);
    const std::size_t size = lead < 0x80u ? 1 : lead < 0xE0u ? 2 : lead < 0xF0u ? 3 : 4;
    if (size > length - end || !is_valid_utf8(text + end, size)) break;
    end += size;
  }
  return end;
}

// Builds the message for the binding. A text that is not UTF-8 keeps its valid
// prefix; when even that cannot be allocated the text stays empty and the
// outcome becomes out_of_memory.
BridgeString message_text(const char* message, BridgeOutcome& outcome) noexcept {
  try {
    return BridgeString(message, valid_utf8_prefix(message, std::char_traits<char>::length(message)));
  } catch (...) {
    outcome = BridgeOutcome::out_of_memory;
    return BridgeString();
  }
}

}  // namespace

extern "C" {

BridgeOutcome tonvik_bridge_client_new(BridgeClient** client) noexcept {
  if (client == nullptr) return BridgeOutcome::internal_error;
  *client = nullptr;
  try {
    *client = new_bridge_client().release();
    return BridgeOutcome::ok;
  } catch (const std::bad_alloc&) {
    return BridgeOutcome::out_of_memory;
  } catch (...) {
    return BridgeOutcome::internal_error;
  }
}

BridgeOutcome tonvik_bridge_apply_lut(const BridgeClient* client, BridgeString* lut_path,
                                      BridgeString* image_path, BridgeString* output_path,
                                      void* result_storage, std::int32_t* os_error) noexcept {
  // Take the arguments over first: whatever happens below, they are released
  // here and the caller's copies are left empty.
  BridgeString lut = lut_path ? std::move(*lut_path) : BridgeString();
  BridgeString image = image_path ? std::move(*image_path) : BridgeString();
  BridgeString output = output_path ? std::move(*output_path) : BridgeString();
  if (os_error) *os_error = 0;
  if (result_storage == nullptr) return BridgeOutcome::internal_error;

  BridgeOutcome outcome = BridgeOutcome::ok;
  BridgeString result;
  if (client == nullptr || lut_path == nullptr || image_path == nullptr || output_path == nullptr) {
    outcome = BridgeOutcome::internal_error;
    result = message_text(missing_argument_message, outcome);
  } else {
    try {
      result = client->apply_lut(std::move(lut), std::move(image), std::move(output));
    } catch (...) {
      const tonvik::bridge::exception_outcome caught = tonvik::bridge::classify_current_exception();
      outcome = caught.outcome;
      if (os_error) *os_error = caught.os_error;
      result = message_text(caught.message, outcome);
    }
  }
  ::new (result_storage) BridgeString(std::move(result));
  return outcome;
}

void tonvik_bridge_client_drop(BridgeClient** client) noexcept {
  if (client == nullptr) return;
  delete *client;
  *client = nullptr;
}

}  // extern "C"
