// BridgeClient: the stateless engine object through which the binding asks for
// work. Always owned through std::unique_ptr; used for one apply, then dropped.
#pragma once

#include <memory>

#include "bridge_string.hpp"

class BridgeClient {
 public:
  // Reads the cube LUT, maps the image through it and writes a JPEG.
  // Returns a status string (see status.hpp); LUT failures are thrown:
  // lut_open_error for an unopenable LUT file, the engine's parse_error for a
  // malformed one, std::bad_alloc when memory runs out.
  BridgeString apply_lut(BridgeString lut_path, BridgeString image_path, BridgeString output_path) const;
};

// Never returns an empty pointer: a failed allocation throws std::bad_alloc.
std::unique_ptr<BridgeClient> new_bridge_client();
