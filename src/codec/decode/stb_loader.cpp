// The stb loader's own entry points (stb_loader.hpp): the format and header
// a file declares, read by the loader's own format tests and header parsers,
// and a decode that fails when the input ran out before the image was
// complete. They reach into the loader's internals, which are static, so
// this file is also the one that compiles the loader (stb_config.hpp).
#include "stb_loader.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "stb_config.hpp"

namespace tonvik::codec::detail {

namespace {

void start(stbi__context& context, const byte_source& source) {
  if (source.io != nullptr) {
    // stb takes the table by non-const pointer but only copies it.
    stbi__start_callbacks(&context, const_cast<stbi_io_callbacks*>(source.io), source.user);
  } else {
    stbi__start_mem(&context, source.bytes, static_cast<int>(source.size));
  }
}

// The loader's own order of format tests (stbi__load_main), so the format
// named here is the one that decodes the file. Each test rewinds.
image_format detect(stbi__context* s) {
  image_format format = image_format::unknown;
  if (stbi__png_test(s)) format = image_format::png;
  else if (stbi__bmp_test(s)) format = image_format::bmp;
  else if (stbi__gif_test(s)) format = image_format::gif;
  else if (stbi__psd_test(s)) format = image_format::psd;
  else if (stbi__pic_test(s)) format = image_format::pic;
  else if (stbi__jpeg_test(s)) format = image_format::jpeg;
  else if (stbi__pnm_test(s)) format = image_format::pnm;
  else if (stbi__hdr_test(s)) format = image_format::hdr;
  else if (stbi__tga_test(s)) format = image_format::tga;
  stbi__rewind(s);
  return format;
}

// IHDR, after an optional CgBI chunk: sides, bit depth and samples per pixel.
bool read_png_header(stbi__context* s, image_header& header) {
  if (!stbi__check_png_header(s)) return false;
  stbi__pngchunk chunk = stbi__get_chunk_header(s);
  if (chunk.type == STBI__PNG_TYPE('C', 'g', 'B', 'I')) {
    if (chunk.length > 0x7fffffffu - 4) return false;
    stbi__skip(s, static_cast<int>(chunk.length) + 4);
    chunk = stbi__get_chunk_header(s);
  }
  if (chunk.type != STBI__PNG_TYPE('I', 'H', 'D', 'R') || chunk.length != 13) return false;
  header.width = stbi__get32be(s);
  header.height = stbi__get32be(s);
  const int depth = stbi__get8(s);
  const int colour = stbi__get8(s);
  static constexpr int samples_of_colour[7] = {1, 0, 3, 1, 2, 0, 4};
  if (colour > 6 || samples_of_colour[colour] == 0) return false;
  header.bits_per_pixel = depth * samples_of_colour[colour];
  return !s->tonvik_ran_out;
}

// What the frame header's load scan sets up beyond the header scan: each
// component's samples and the interleaved unit's count, as the scans walk
// them. Nothing is allocated.
void set_block_geometry(stbi__jpeg* j) {
  int h_max = 1;
  int v_max = 1;
  for (int i = 0; i < j->s->img_n; ++i) {
    h_max = std::max(h_max, j->img_comp[i].h);
    v_max = std::max(v_max, j->img_comp[i].v);
  }
  j->img_mcu_x = static_cast<int>((j->s->img_x + 8u * h_max - 1) / (8u * h_max));
  j->img_mcu_y = static_cast<int>((j->s->img_y + 8u * v_max - 1) / (8u * v_max));
  for (int i = 0; i < j->s->img_n; ++i) {
    j->img_comp[i].x = static_cast<int>((j->s->img_x * j->img_comp[i].h + h_max - 1) / h_max);
    j->img_comp[i].y = static_cast<int>((j->s->img_y * j->img_comp[i].v + v_max - 1) / v_max);
  }
}

// Past a scan's entropy-coded bytes to the marker that ends them, as the
// decoder's bit reader finds it: a zero after 0xFF is a stuffed byte, fill
// bytes repeat 0xFF, restart markers belong to the scan.
int skip_entropy_coded_data(stbi__context* s) {
  for (;;) {
    // The bulk: straight to the next 0xFF of what is buffered.
    const auto buffered = static_cast<std::size_t>(s->img_buffer_end - s->img_buffer);
    if (auto* ff = static_cast<stbi_uc*>(std::memchr(s->img_buffer, 0xFF, buffered))) {
      s->img_buffer = ff + 1;
    } else {
      s->img_buffer = s->img_buffer_end;
      if (stbi__at_eof(s)) return STBI__MARKER_none;
      if (stbi__get8(s) != 0xFF) continue;  // the first byte of the next read
    }
    int c = 0xFF;
    while (c == 0xFF) {
      if (stbi__at_eof(s)) return STBI__MARKER_none;
      c = stbi__get8(s);
    }
    if (c != 0 && !STBI__RESTART(c)) return c;
  }
}

// The blocks a progressive file's scans walk, from just after its frame
// header: the decoder's loop over markers, each scan's data skipped. Stops
// once past `limit`, or where the file is broken (the decoder refuses it).
long long scanned_blocks(stbi__jpeg* j, long long limit) {
  long long scanned = 0;
  int m = stbi__get_marker(j);
  while (!stbi__EOI(m) && m != STBI__MARKER_none && scanned <= limit) {
    if (stbi__SOS(m)) {
      if (!stbi__process_scan_header(j)) break;
      scanned += stbi__tonvik_scan_blocks(j);
      j->marker = static_cast<stbi_uc>(skip_entropy_coded_data(j->s));
    } else if (!stbi__process_marker(j, m)) {
      break;
    }
    m = stbi__get_marker(j);
  }
  return scanned;
}

// Frame header: sides, and the blocks that every component's scans code, as
// a scan of each component alone walks them (interleaved scans walk at least
// as many); for a progressive file, the blocks all its scans walk.
bool read_jpeg_header(stbi__context* s, image_header& header) {
  auto* j = static_cast<stbi__jpeg*>(stbi__malloc(sizeof(stbi__jpeg)));
  if (j == nullptr) return false;
  j->s = s;
  const bool read = stbi__decode_jpeg_header(j, STBI__SCAN_header) != 0;
  if (read) {
    header.width = s->img_x;
    header.height = s->img_y;
    header.progressive = j->progressive != 0;
    set_block_geometry(j);
    header.jpeg_blocks = stbi__tonvik_image_blocks(j);
    if (header.progressive) header.jpeg_scanned_blocks = scanned_blocks(j, max_jpeg_passes * header.jpeg_blocks);
  }
  STBI_FREE(j);
  return read;
}

bool read_tga_header(stbi__context* s, image_header& header) {
  stbi__get8(s);  // length of the image id
  stbi__get8(s);  // colour map type
  header.run_length = stbi__get8(s) >= 9;
  stbi__skip(s, 13);
  header.bits_per_pixel = stbi__get8(s);  // of a pixel or of a colour index
  stbi__rewind(s);
  int width = 0, height = 0, components = 0;
  if (!stbi__tga_info(s, &width, &height, &components)) return false;
  header.width = width;
  header.height = height;
  return true;
}

// The formats whose loaders take a byte past the end for a zero without
// noticing; PNG, GIF and JPEG judge the end of their data themselves.
bool ends_by_end_of_input(image_format format) {
  switch (format) {
    case image_format::bmp:
    case image_format::psd:
    case image_format::pic:
    case image_format::pnm:
    case image_format::hdr:
    case image_format::tga:
      return true;
    default:
      return false;
  }
}

}  // namespace

image_format detect_format(const byte_source& source) {
  stbi__context context;
  start(context, source);
  return detect(&context);
}

bool read_header(const byte_source& source, image_header& header) {
  stbi__context context;
  start(context, source);
  stbi__context* s = &context;
  header = image_header{};
  header.format = detect(s);
  int width = 0, height = 0, components = 0;
  bool read = false;
  switch (header.format) {
    case image_format::png: return read_png_header(s, header);
    case image_format::jpeg: return read_jpeg_header(s, header);
    case image_format::tga: return read_tga_header(s, header);
    case image_format::bmp: {
      stbi__bmp_data info{};
      info.all_a = 255;
      read = stbi__bmp_parse_header(s, &info) != nullptr;
      width = static_cast<int>(s->img_x);
      height = static_cast<int>(s->img_y);
      header.bits_per_pixel = info.bpp;
      break;
    }
    case image_format::pnm: {
      const int sample_bits = stbi__pnm_info(s, &width, &height, &components);
      read = sample_bits != 0;
      header.bits_per_pixel = sample_bits * components;
      break;
    }
    case image_format::gif: read = stbi__gif_info(s, &width, &height, &components) != 0; break;
    case image_format::psd: {
      stbi__skip(s, 12);  // signature, version, reserved
      const int channels = stbi__get16be(s);
      stbi__rewind(s);
      header.bits_per_pixel = 8 * std::clamp(channels, 1, 4);  // the planes the loader decodes
      read = stbi__psd_info(s, &width, &height, &components) != 0;
      break;
    }
    case image_format::pic: read = stbi__pic_info(s, &width, &height, &components) != 0; break;
    case image_format::hdr: read = stbi__hdr_info(s, &width, &height, &components) != 0; break;
    case image_format::unknown: return false;
  }
  header.width = width;
  header.height = height;
  return read;
}

unsigned char* load_rgb(const byte_source& source, image_format format, int& width, int& height) {
  stbi__context context;
  start(context, source);
  int components = 0;
  unsigned char* pixels = stbi__load_and_postprocess_8bit(&context, &width, &height, &components, 3);
  if (pixels != nullptr && context.tonvik_ran_out && ends_by_end_of_input(format)) {
    stbi_image_free(pixels);
    return nullptr;
  }
  return pixels;
}

}  // namespace tonvik::codec::detail
