#include "bridge_client.hpp"

#include <string>

#include "apply_pipeline.hpp"

BridgeString BridgeClient::apply_lut(BridgeString lut_path, BridgeString image_path,
                                     BridgeString output_path) const {
  const std::string lut_file = lut_path.to_std_string();
  const std::string image_file = image_path.to_std_string();
  const std::string output_file = output_path.to_std_string();
  const vireth::image::lut table = tonvik::bridge::read_lut(lut_file);
  return BridgeString(tonvik::bridge::apply_to_file(table, image_file, output_file));
}

std::unique_ptr<BridgeClient> new_bridge_client() { return std::make_unique<BridgeClient>(); }
