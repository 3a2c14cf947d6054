// The stb loader's own entry points (stb_loader.hpp): the format and header
// a file declares, read by the loader's own format tests and header parsers,
// and a decode that fails when the input ran out before the image was
// complete. They reach into the loader's internals, which are static, so
// this file is also the one that compiles the loader (stb_config.hpp).
#include "stb_loader.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

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

// What the scans of a progressive file hold, from just after its frame
// header: the decoder's loop over markers, each scan's data skipped. `blocks`
// is what its scans walk, counted until past `limit` or to where the file is
// broken (the decoder refuses it there). `complete` is false when the file
// ends inside a scan's data, cut there or missing only its end marker: the
// two cannot be told apart without walking every earlier scan over the whole
// image first, and both are refused; or when it ends between segments before
// every coefficient has its full precision, which the decoder refuses too.
struct scan_walk {
  long long blocks = 0;
  bool complete = true;
};

scan_walk walk_scans(stbi__jpeg* j, long long limit) {
  scan_walk walk;
  unsigned long long final_coefficients[4] = {0, 0, 0, 0};
  int m = stbi__get_marker(j);
  while (!stbi__EOI(m) && m != STBI__MARKER_none && walk.blocks <= limit) {
    if (stbi__SOS(m)) {
      if (!stbi__process_scan_header(j)) return walk;
      walk.blocks += stbi__tonvik_scan_blocks(j);
      stbi__tonvik_note_scan(j, final_coefficients);
      j->marker = static_cast<stbi_uc>(skip_entropy_coded_data(j->s));
      if (j->marker == STBI__MARKER_none) {
        walk.complete = false;
        return walk;
      }
    } else if (!stbi__process_marker(j, m)) {
      return walk;
    }
    m = stbi__get_marker(j);
  }
  if (m == STBI__MARKER_none && stbi__at_eof(j->s) && !stbi__tonvik_all_final(j, final_coefficients))
    walk.complete = false;
  return walk;
}

// Frame header: sides, and the blocks that every component's scans code, as
// a scan of each component alone walks them (interleaved scans walk at least
// as many); for a progressive file, the blocks all its scans walk, and
// whether it holds them all (walk_scans).
bool read_jpeg_header(stbi__context* s, image_header& header) {
  auto* j = static_cast<stbi__jpeg*>(stbi__malloc(sizeof(stbi__jpeg)));
  if (j == nullptr) return false;
  j->s = s;
  bool read = stbi__decode_jpeg_header(j, STBI__SCAN_header) != 0;
  if (read) {
    header.width = s->img_x;
    header.height = s->img_y;
    header.progressive = j->progressive != 0;
    set_block_geometry(j);
    header.jpeg_blocks = stbi__tonvik_image_blocks(j);
    if (header.progressive) {
      const scan_walk walk = walk_scans(j, max_jpeg_scanned_blocks(header.jpeg_blocks));
      header.jpeg_scanned_blocks = walk.blocks;
      header.cut_short = !walk.complete;
    }
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

// Past `count` bytes that must all be in the input; false when it ends first.
bool skip_present(stbi__context* s, int count) {
  if (count <= 0) return true;
  stbi__skip(s, count - 1);
  if (stbi__at_eof(s)) return false;
  stbi__get8(s);
  return true;
}

// Past a chain of sub-blocks up to the empty one that ends it. False when
// the input ends inside a sub-block; a chain that ends at a sub-block's end
// without its terminator passes, the decoder judges it (its pixels may be
// complete, and only the terminator and trailer missing).
bool skip_sub_blocks(stbi__context* s) {
  for (;;) {
    const int length = stbi__get8(s);
    if (s->tonvik_ran_out || length == 0) return true;
    if (!skip_present(s, length)) return false;
  }
}

// The GIF decoder's walk to its first image, the image data skipped: false
// when that data is cut inside a sub-block. The decoder would find that only
// after decoding every code before the cut, which on a dense file touches
// most of a canvas that its header may size at 180 M pixels. Anything else
// is left to the decoder, which reads the same bytes the same way.
bool gif_image_data_present(stbi__context* s) {
  auto* g = static_cast<stbi__gif*>(stbi__malloc(sizeof(stbi__gif)));
  if (g == nullptr) return true;
  std::memset(g, 0, sizeof(stbi__gif));
  int components = 0;
  const bool header = stbi__gif_header(s, g, &components, 0) != 0;
  STBI_FREE(g);
  if (!header) return true;
  for (;;) {
    const int tag = stbi__get8(s);
    if (s->tonvik_ran_out) return true;
    if (tag == 0x2C) {  // image descriptor: place and size, flags, local palette
      stbi__skip(s, 8);
      const int flags = stbi__get8(s);
      if (flags & 0x80) stbi__skip(s, 3 * (2 << (flags & 7)));
      stbi__get8(s);  // LZW code size
      return skip_sub_blocks(s);
    }
    if (tag != 0x21) return true;  // the trailer, or what the decoder refuses
    if (stbi__get8(s) == 0xF9) {   // graphic control: the decoder reads 4 bytes or skips the block
      const int length = stbi__get8(s);
      if (length != 4) {
        stbi__skip(s, length);
        continue;
      }
      stbi__skip(s, 4);
    }
    if (!skip_sub_blocks(s)) return true;  // cut before the image: the decoder refuses it
  }
}

// The PIC decoder's walk over its packets, the pixel values skipped: false
// when the input ends before the last row, or where the decoder fails. The
// decoder fills each row before it reads it, so it would touch every row
// the packets cover before it found the end. The reads and end checks are
// the decoder's own (stbi__pic_load_core), so what it accepts passes.
bool pic_rows_present(stbi__context* s, int width, int height) {
  struct packet {
    int type;
    int bytes_per_value;  // the channels it carries, one byte each
  };
  packet packets[10];
  int count = 0;
  stbi__skip(s, 104);  // header, sides, ratio, fields, pad
  bool chained = true;
  while (chained) {
    if (count == 10) return false;
    chained = stbi__get8(s) != 0;
    const int size = stbi__get8(s);
    packets[count].type = stbi__get8(s);
    packets[count].bytes_per_value = __builtin_popcount(stbi__get8(s) & 0xF0);
    ++count;
    if (stbi__at_eof(s) || size != 8) return false;
  }
  // stbi__readval checks for the end before each byte it reads.
  auto values_present = [s](int values, int bytes_per_value) { return skip_present(s, values * bytes_per_value); };
  for (int y = 0; y < height; ++y) {
    for (int i = 0; i < count; ++i) {
      const packet& p = packets[i];
      if (p.type == 0) {
        if (!values_present(width, p.bytes_per_value)) return false;
        continue;
      }
      if (p.type != 1 && p.type != 2) return false;
      int left = width;
      while (left > 0) {
        int run = stbi__get8(s);
        if (stbi__at_eof(s)) return false;
        if (p.type == 1) {  // pure run-length: a count, then one value
          if (!values_present(1, p.bytes_per_value)) return false;
          left -= std::min(run, left);
        } else if (run >= 128) {  // mixed, repeated: a count, then one value
          run = run == 128 ? stbi__get16be(s) : run - 127;
          if (run > left || !values_present(1, p.bytes_per_value)) return false;
          left -= run;
        } else {  // mixed, raw: count + 1 values
          if (run + 1 > left || !values_present(run + 1, p.bytes_per_value)) return false;
          left -= run + 1;
        }
      }
    }
  }
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
      // The sides as the loader takes them: the width unsigned, the height
      // by its magnitude (a negative one stores the rows top-down).
      header.width = s->img_x;
      header.height = std::abs(static_cast<std::int64_t>(static_cast<std::int32_t>(s->img_y)));
      header.bits_per_pixel = info.bpp;
      return read;
    }
    case image_format::pnm: {
      const int sample_bits = stbi__pnm_info(s, &width, &height, &components);
      read = sample_bits != 0;
      header.bits_per_pixel = sample_bits * components;
      break;
    }
    case image_format::gif:
      read = stbi__gif_info(s, &width, &height, &components) != 0;
      stbi__rewind(s);
      header.cut_short = read && !gif_image_data_present(s);
      break;
    case image_format::psd: {
      stbi__skip(s, 12);  // signature, version, reserved
      const int channels = stbi__get16be(s);
      // Unsigned: the loader's int takes a side of 2^31 or more as negative
      // and refuses it as too large.
      header.height = stbi__get32be(s);
      header.width = stbi__get32be(s);
      stbi__rewind(s);
      header.bits_per_pixel = 8 * std::clamp(channels, 1, 4);  // the planes the loader decodes
      return stbi__psd_info(s, &width, &height, &components) != 0;
    }
    case image_format::pic:
      read = stbi__pic_info(s, &width, &height, &components) != 0;
      stbi__rewind(s);
      header.cut_short = read && !pic_rows_present(s, width, height);
      break;
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

struct jpeg_rows {
  stbi__context context;  // the decoder's own reads point here
  stbi__jpeg* jpeg = nullptr;
  stbi__tonvik_jpeg_rows state;
  int made = 0;  // rows written so far
};

jpeg_rows* open_jpeg_rows(const byte_source& source, int& width, int& height, bool& certain) {
  certain = false;
  auto* rows = new (std::nothrow) jpeg_rows;
  if (rows == nullptr) return nullptr;
  start(rows->context, source);
  // The loader's choice of format first, as load_rgb makes it.
  if (detect(&rows->context) == image_format::jpeg) rows->jpeg = stbi__tonvik_jpeg_new(&rows->context);
  if (rows->jpeg == nullptr) {
    delete rows;
    return nullptr;
  }
  stbi__g_failure_reason = nullptr;
  if (!stbi__tonvik_jpeg_start(&rows->state, rows->jpeg, 3)) {
    // The same bytes fail load_rgb's decode the same way, unless it was the
    // memory that ran out (load_rgb's decode needs more).
    const char* why = stbi__g_failure_reason;
    certain = why != nullptr && std::strcmp(why, "outofmem") != 0;
    STBI_FREE(rows->jpeg);
    delete rows;
    return nullptr;
  }
  width = static_cast<int>(rows->context.img_x);
  height = static_cast<int>(rows->context.img_y);
  return rows;
}

int read_jpeg_rows(jpeg_rows* rows, unsigned char* out, int count) {
  count = std::min(count, static_cast<int>(rows->context.img_y) - rows->made);
  if (count <= 0) return 0;
  stbi__tonvik_jpeg_rows_out(&rows->state, out, count);
  rows->made += count;
  return count;
}

void close_jpeg_rows(jpeg_rows* rows) {
  if (rows == nullptr) return;
  stbi__cleanup_jpeg(rows->jpeg);
  STBI_FREE(rows->jpeg);
  delete rows;
}

}  // namespace tonvik::codec::detail
