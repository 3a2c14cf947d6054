// The status strings that BridgeClient::apply_lut returns. They reach Python
// callers verbatim, so each is defined here once and nowhere else.
#pragma once

namespace tonvik::bridge::status {

inline constexpr const char* ok = "success:ok";
inline constexpr const char* image_not_found = "error:image_not_found";
inline constexpr const char* image_too_large = "error:image_too_large";
inline constexpr const char* output_not_written = "error:output_not_written";

}  // namespace tonvik::bridge::status
