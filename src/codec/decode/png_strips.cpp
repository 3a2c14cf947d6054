#include "strip_readers.hpp"

namespace tonvik::codec::detail {

std::unique_ptr<image_reader> png_strips(const image_bytes&, const image_header&) { return nullptr; }

}  // namespace tonvik::codec::detail
