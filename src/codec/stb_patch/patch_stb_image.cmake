# Writes a hardened copy of the pinned stb_image.h (third_party/stb) into the
# build tree.
#
# Each fix replaces one exact snippet of the original header. Every snippet
# that is missing, or found more than once, is reported, then the configure
# stops: a new header release must be looked at by a person, never patched
# half-way.
#
#   tonvik_patch_stb_image(<original header> <patched header>)

# Replaces the one occurrence of `old`; a snippet that is missing or repeated
# is added to the caller's list _tonvik_patch_failures instead.
function(_tonvik_replace_once content_var name old new)
  set(content "${${content_var}}")
  string(FIND "${content}" "${old}" first)
  if(first EQUAL -1)
    list(APPEND _tonvik_patch_failures "'${name}': the original snippet is not in the header")
    set(_tonvik_patch_failures "${_tonvik_patch_failures}" PARENT_SCOPE)
    return()
  endif()
  string(LENGTH "${old}" old_length)
  math(EXPR rest_start "${first} + ${old_length}")
  string(SUBSTRING "${content}" ${rest_start} -1 rest)
  string(FIND "${rest}" "${old}" second)
  if(NOT second EQUAL -1)
    list(APPEND _tonvik_patch_failures "'${name}': the original snippet occurs more than once")
    set(_tonvik_patch_failures "${_tonvik_patch_failures}" PARENT_SCOPE)
    return()
  endif()
  string(SUBSTRING "${content}" 0 ${first} head)
  set(${content_var} "${head}${new}${rest}" PARENT_SCOPE)
endfunction()

# Replaces every occurrence of `old`, which must occur exactly `count` times.
function(_tonvik_replace_all content_var name count old new)
  set(content "${${content_var}}")
  string(LENGTH "${old}" old_length)
  set(found 0)
  set(rest "${content}")
  string(FIND "${rest}" "${old}" at)
  while(NOT at EQUAL -1)
    math(EXPR found "${found} + 1")
    math(EXPR next "${at} + ${old_length}")
    string(SUBSTRING "${rest}" ${next} -1 rest)
    string(FIND "${rest}" "${old}" at)
  endwhile()
  if(NOT found EQUAL count)
    list(APPEND _tonvik_patch_failures "'${name}': the original snippet occurs ${found} times, expected ${count}")
    set(_tonvik_patch_failures "${_tonvik_patch_failures}" PARENT_SCOPE)
    return()
  endif()
  string(REPLACE "${old}" "${new}" content "${content}")
  set(${content_var} "${content}" PARENT_SCOPE)
endfunction()

function(tonvik_patch_stb_image original patched)
  file(READ "${original}" header)
  set(_tonvik_patch_failures "")

  # A read that runs out of input copied nothing at all from memory, while
  # from a file it copied the bytes that were there: now both copy them. The
  # rest of the buffer is left alone: every heap buffer the loaders read into
  # comes zeroed from our allocator, and filling it here would touch every
  # page of a buffer sized by a hostile header (a PNG chunk may declare 1 GB).
  # The one stack buffer, the flat HDR pixel, is zeroed where it is read.
  # An empty read copies nothing: a PNG's first IDAT chunk may be empty, and
  # its buffer is then still null.
  _tonvik_replace_once(header "getn-short-read"
[=[
         count = (s->io.read)(s->io_user_data, (char*) buffer + blen, n - blen);
         res = (count == (n-blen));
         s->img_buffer = s->img_buffer_end;
         return res;
      }
   }

   if (s->img_buffer+n <= s->img_buffer_end) {
      memcpy(buffer, s->img_buffer, n);
      s->img_buffer += n;
      return 1;
   } else
      return 0;
}]=]
[=[
         count = (s->io.read)(s->io_user_data, (char*) buffer + blen, n - blen);
         res = (count == (n-blen));
         s->img_buffer = s->img_buffer_end;
         return res;
      }
   }

   if (s->img_buffer+n <= s->img_buffer_end) {
      if (n > 0) memcpy(buffer, s->img_buffer, n);
      s->img_buffer += n;
      return 1;
   } else {
      int available = (int) (s->img_buffer_end - s->img_buffer);
      if (available < 0) available = 0;
      if (available > 0) memcpy(buffer, s->img_buffer, available);
      s->img_buffer = s->img_buffer_end;
      return 0;
   }
}]=])

  # Radiance HDR: the flat pixel lives on the stack; a cut file reads it
  # short, and the missing bytes must be zeros, not the previous pixel's.
  _tonvik_replace_once(header "hdr-flat-short-read"
[=[
            stbi__getn(s, rgbe, 4);]=]
[=[
            if (!stbi__getn(s, rgbe, 4)) memset(rgbe, 0, 4);]=])

  # Radiance HDR: a run-length "dump" of 0 bytes never advances, and at end of
  # file every read is 0, so a cut scanline spun forever.
  _tonvik_replace_once(header "hdr-empty-dump"
[=[
                  // Dump
                  if (count > nleft) {]=]
[=[
                  // Dump
                  if (count == 0 || count > nleft) {]=])

  # PNM: 16-bit samples went through the 8-bit converter, and the 16-to-8 step
  # after it then read twice the buffer it had been given. The samples are
  # big-endian in the file but were used in host order, so a little-endian
  # host kept the low byte of each instead of the high one.
  _tonvik_replace_once(header "pnm-16bit-convert"
[=[
   if (req_comp && req_comp != s->img_n) {
      out = stbi__convert_format(out, s->img_n, req_comp, s->img_x, s->img_y);
      if (out == NULL) return out; // stbi__convert_format frees input on failure
   }
   return out;
}

static int      stbi__pnm_isspace(char c)]=]
[=[
   if (ri->bits_per_channel == 16) {
      stbi__uint16 *samples = (stbi__uint16 *) out;
      size_t count = (size_t) s->img_n * s->img_x * s->img_y, i;
      for (i = 0; i < count; ++i) {
         const stbi_uc *bytes = (const stbi_uc *) &samples[i];
         samples[i] = (stbi__uint16) ((bytes[0] << 8) | bytes[1]);
      }
   }

   if (req_comp && req_comp != s->img_n) {
      if (ri->bits_per_channel == 16)
         out = (stbi_uc *) stbi__convert_format16((stbi__uint16 *) out, s->img_n, req_comp, s->img_x, s->img_y);
      else
         out = stbi__convert_format(out, s->img_n, req_comp, s->img_x, s->img_y);
      if (out == NULL) return out; // stbi__convert_format frees input on failure
   }
   return out;
}

static int      stbi__pnm_isspace(char c)]=])

  # PNM: header numbers overflowed a signed int. They now saturate at INT_MAX,
  # which every size check downstream refuses.
  _tonvik_replace_once(header "pnm-integer-overflow"
[=[
      value = value*10 + (*c - '0');]=]
[=[
      value = (value <= (INT_MAX - 9) / 10) ? value*10 + (*c - '0') : INT_MAX;]=])

  # Softimage PIC: a body that failed to decode was freed and then handed to
  # the format converter as a null pointer.
  _tonvik_replace_once(header "pic-failed-body"
[=[
   if (!stbi__pic_load_core(s,x,y,comp, result)) {
      STBI_FREE(result);
      result=0;
   }]=]
[=[
   if (!stbi__pic_load_core(s,x,y,comp, result)) {
      STBI_FREE(result);
      return 0;
   }]=])

  # Softimage PIC: the header reader refused more than 2^28 pixels while the
  # loader took up to 2^29, so the size screen saw nothing and the loader
  # filled a gigabyte before looking at the body. The header now reports any
  # size, and the loader refuses more pixels than the pipeline ever writes
  # before it allocates.
  _tonvik_replace_once(header "pic-info-size"
[=[
   if ( (*x) != 0 && (1 << 28) / (*x) < (*y)) {
      stbi__rewind( s );
      return 0;
   }
]=]
"")
  _tonvik_replace_once(header "pic-load-pixels"
[=[
   if (stbi__at_eof(s))  return stbi__errpuc("bad file","file too short (pic header)");]=]
[=[
   if (stbi__at_eof(s))  return stbi__errpuc("bad file","file too short (pic header)");
   if ((long long) x * y > STBI_TONVIK_MAX_PIXELS) return stbi__errpuc("too large","Very large image (corrupt?)");]=])

  # Softimage PIC: the whole image was filled with 0xff before the body was
  # read, so a 97-byte file declaring 150 M pixels touched 600 MB before
  # failing on its first packet. Each row is filled as it is decoded instead.
  _tonvik_replace_once(header "pic-fill-by-row"
[=[
   memset(result, 0xff, x*y*4);
]=]
"")
  _tonvik_replace_once(header "pic-fill-row"
[=[
   for(y=0; y<height; ++y) {
      int packet_idx;
]=]
[=[
   for(y=0; y<height; ++y) {
      int packet_idx;

      memset(result+y*width*4, 0xff, width*4);
]=])

  # PNG: the header reader refused more than 2^30 bytes of samples, so a
  # 20000 x 20000 RGB bomb never reached the size screen and was reported as
  # unreadable rather than too large. The header now reports any size; the
  # loader keeps its own limit, which is above anything the screen lets by.
  _tonvik_replace_once(header "png-info-size"
[=[
               if ((1 << 30) / s->img_x / s->img_n < s->img_y) return stbi__err("too large", "Image too large to decode");
               if (scan == STBI__SCAN_header) return 1;]=]
[=[
               if (scan == STBI__SCAN_header) return 1;
               if ((1 << 30) / s->img_x / s->img_n < s->img_y) return stbi__err("too large", "Image too large to decode");]=])
  _tonvik_replace_once(header "png-info-size-palette"
[=[
               if ((1 << 30) / s->img_x / 4 < s->img_y) return stbi__err("too large","Corrupt PNG");]=]
[=[
               if (scan != STBI__SCAN_header && (1 << 30) / s->img_x / 4 < s->img_y) return stbi__err("too large","Corrupt PNG");]=])

  # BMP: pixel indexes past a short palette read palette entries never set.
  _tonvik_replace_once(header "bmp-palette-zeroed"
[=[
   stbi_uc pal[256][4];
   int psize=0,i,j,width;]=]
[=[
   stbi_uc pal[256][4] = {{0}};
   int psize=0,i,j,width;]=])

  # JPEG: a corrupt stream can consume more bits than the buffer held, and
  # the next refill then shifted by 32 or more (undefined). Bits consumed
  # beyond the end were zeros; the refill starts afresh from an empty buffer,
  # and the image is refused (see jpeg-padding-count below).
  _tonvik_replace_once(header "jpeg-bits-overdrawn"
[=[
static void stbi__grow_buffer_unsafe(stbi__jpeg *j)
{
   do {]=]
[=[
static void stbi__grow_buffer_unsafe(stbi__jpeg *j)
{
   if (j->code_bits < 0) {
      j->code_bits = 0;
      j->code_buffer = 0;
      j->tonvik_padding_bits = 0;
      j->tonvik_starved = 1;
   }
   do {]=])

  # JPEG: more than 256 Huffman code lengths overran the table's symbol arrays
  # and the decoder state behind them.
  _tonvik_replace_once(header "jpeg-dht-count"
[=[
            L -= 17;
            if (tc == 0) {]=]
[=[
            L -= 17;
            if (n > 256) return stbi__err("bad DHT header","Corrupt JPEG");
            if (tc == 0) {]=])

  # JPEG: a corrupt table could map a code to a symbol index outside the table.
  _tonvik_replace_once(header "jpeg-huffman-symbol-range"
[=[
   c = ((j->code_buffer >> (32 - k)) & stbi__bmask[k]) + h->delta[k];
   STBI_ASSERT((((j->code_buffer) >> (32 - h->size[c])) & stbi__bmask[h->size[c]]) == h->code[c]);]=]
[=[
   c = ((j->code_buffer >> (32 - k)) & stbi__bmask[k]) + h->delta[k];
   if (c < 0 || c >= 256) return -1;]=])

  # JPEG: the running DC prediction and its scaled value overflowed int.
  _tonvik_replace_once(header "jpeg-dc-helper"
[=[
// bias[n] = (-1<<n) + 1]=]
[=[
// 1 when pred + diff, and that sum times scale, both fit in an int.
static int stbi__tonvik_dc_fits(int pred, int diff, int scale)
{
   long long dc = (long long) pred + diff;
   long long scaled = dc * scale;
   return dc >= INT_MIN && dc <= INT_MAX && scaled >= INT_MIN && scaled <= INT_MAX;
}

// bias[n] = (-1<<n) + 1]=])
  _tonvik_replace_once(header "jpeg-dc-baseline"
[=[
   diff = t ? stbi__extend_receive(j, t) : 0;
   dc = j->img_comp[b].dc_pred + diff;]=]
[=[
   diff = t ? stbi__extend_receive(j, t) : 0;
   if (!stbi__tonvik_dc_fits(j->img_comp[b].dc_pred, diff, dequant[0])) return stbi__err("bad delta","Corrupt JPEG");
   dc = j->img_comp[b].dc_pred + diff;]=])
  _tonvik_replace_once(header "jpeg-dc-progressive"
[=[
      diff = t ? stbi__extend_receive(j, t) : 0;

      dc = j->img_comp[b].dc_pred + diff;]=]
[=[
      diff = t ? stbi__extend_receive(j, t) : 0;

      if (!stbi__tonvik_dc_fits(j->img_comp[b].dc_pred, diff, 1 << j->succ_low)) return stbi__err("bad delta","Corrupt JPEG");
      dc = j->img_comp[b].dc_pred + diff;]=])

  # PSD with alpha: undoing the white matte gives a negative value for a
  # colour darker than its alpha allows, and converting that to an unsigned
  # type is undefined (on x86 it came out as 255, white). It is clamped to 0;
  # the formula never exceeds the top of the range.
  _tonvik_replace_once(header "psd-unmatte-16"
[=[
               pixel[0] = (stbi__uint16) (pixel[0]*ra + inv_a);
               pixel[1] = (stbi__uint16) (pixel[1]*ra + inv_a);
               pixel[2] = (stbi__uint16) (pixel[2]*ra + inv_a);]=]
[=[
               float c0 = pixel[0]*ra + inv_a, c1 = pixel[1]*ra + inv_a, c2 = pixel[2]*ra + inv_a;
               pixel[0] = (stbi__uint16) (c0 > 0 ? c0 : 0);
               pixel[1] = (stbi__uint16) (c1 > 0 ? c1 : 0);
               pixel[2] = (stbi__uint16) (c2 > 0 ? c2 : 0);]=])
  _tonvik_replace_once(header "psd-unmatte-8"
[=[
               pixel[0] = (unsigned char) (pixel[0]*ra + inv_a);
               pixel[1] = (unsigned char) (pixel[1]*ra + inv_a);
               pixel[2] = (unsigned char) (pixel[2]*ra + inv_a);]=]
[=[
               float c0 = pixel[0]*ra + inv_a, c1 = pixel[1]*ra + inv_a, c2 = pixel[2]*ra + inv_a;
               pixel[0] = (unsigned char) (c0 > 0 ? c0 : 0);
               pixel[1] = (unsigned char) (c1 > 0 ? c1 : 0);
               pixel[2] = (unsigned char) (c2 > 0 ? c2 : 0);]=])

  # Input that runs out. Every read past the end of the input is recorded
  # in the context: the zero it returns stands for a byte the file did not
  # have. A raw or run-length format whose loader needed such a byte has lost
  # pixels, and the caller refuses the image (see stb_impl.cpp); a skip past
  # the end is not a read, so a last row without its padding still counts as
  # complete. The flag is reset with every rewind, since the format tests
  # read a few bytes each before the real loader starts.
  _tonvik_replace_once(header "context-ran-out-field"
[=[
   stbi_uc *img_buffer, *img_buffer_end;
   stbi_uc *img_buffer_original, *img_buffer_original_end;
} stbi__context;]=]
[=[
   stbi_uc *img_buffer, *img_buffer_end;
   stbi_uc *img_buffer_original, *img_buffer_original_end;
   int tonvik_ran_out;
} stbi__context;]=])
  _tonvik_replace_once(header "context-ran-out-start-mem"
[=[
   s->io.read = NULL;
   s->read_from_callbacks = 0;
   s->callback_already_read = 0;]=]
[=[
   s->io.read = NULL;
   s->read_from_callbacks = 0;
   s->callback_already_read = 0;
   s->tonvik_ran_out = 0;]=])
  _tonvik_replace_once(header "context-ran-out-start-callbacks"
[=[
   s->read_from_callbacks = 1;
   s->callback_already_read = 0;
   s->img_buffer = s->img_buffer_original = s->buffer_start;]=]
[=[
   s->read_from_callbacks = 1;
   s->callback_already_read = 0;
   s->tonvik_ran_out = 0;
   s->img_buffer = s->img_buffer_original = s->buffer_start;]=])
  _tonvik_replace_once(header "context-ran-out-rewind"
[=[
   s->img_buffer = s->img_buffer_original;
   s->img_buffer_end = s->img_buffer_original_end;
}]=]
[=[
   s->img_buffer = s->img_buffer_original;
   s->img_buffer_end = s->img_buffer_original_end;
   s->tonvik_ran_out = 0;
}]=])
  _tonvik_replace_once(header "context-ran-out-refill"
[=[
      s->read_from_callbacks = 0;
      s->img_buffer = s->buffer_start;
      s->img_buffer_end = s->buffer_start+1;
      *s->img_buffer = 0;]=]
[=[
      s->read_from_callbacks = 0;
      s->tonvik_ran_out = 1;
      s->img_buffer = s->buffer_start;
      s->img_buffer_end = s->buffer_start+1;
      *s->img_buffer = 0;]=])
  _tonvik_replace_once(header "context-ran-out-get8"
[=[
   if (s->read_from_callbacks) {
      stbi__refill_buffer(s);
      return *s->img_buffer++;
   }
   return 0;
}]=]
[=[
   if (s->read_from_callbacks) {
      stbi__refill_buffer(s);
      return *s->img_buffer++;
   }
   s->tonvik_ran_out = 1;
   return 0;
}]=])
  _tonvik_replace_once(header "context-ran-out-getn-callbacks"
[=[
         res = (count == (n-blen));
         s->img_buffer = s->img_buffer_end;]=]
[=[
         res = (count == (n-blen));
         if (!res) s->tonvik_ran_out = 1;
         s->img_buffer = s->img_buffer_end;]=])
  _tonvik_replace_once(header "context-ran-out-getn-memory"
[=[
      if (available > 0) memcpy(buffer, s->img_buffer, available);
      s->img_buffer = s->img_buffer_end;
      return 0;]=]
[=[
      if (available > 0) memcpy(buffer, s->img_buffer, available);
      s->img_buffer = s->img_buffer_end;
      s->tonvik_ran_out = 1;
      return 0;]=])

  # JPEG: the bit reader fetches ahead, and past a marker or the end of the
  # file it pads with zero bytes, so reaching the end is normal. What counts
  # is a block that consumed bits the file did not have: the padding is
  # counted, and a scan (or restart interval) that ends with fewer bits in the
  # buffer than the padding put there decoded some of its blocks from
  # nothing. A scan whose restart interval ends in a marker that is not a
  # restart has lost its remaining blocks the same way.
  _tonvik_replace_once(header "jpeg-padding-fields"
[=[
   int            nomore;      // flag if we saw a marker so must stop
]=]
[=[
   int            nomore;      // flag if we saw a marker so must stop
   int            tonvik_padding_bits; // zero bits added past a marker or the end of input
   int            tonvik_starved;      // a block used bits the input did not have
]=])
  _tonvik_replace_once(header "jpeg-padding-count"
[=[
   do {
      unsigned int b = j->nomore ? 0 : stbi__get8(j->s);
      if (b == 0xff) {]=]
[=[
   do {
      unsigned int b;
      if (j->nomore || stbi__at_eof(j->s)) {
         b = 0;
         j->tonvik_padding_bits += 8;
      } else {
         b = stbi__get8(j->s);
      }
      if (b == 0xff) {]=])
  _tonvik_replace_once(header "jpeg-padding-reset"
[=[
static void stbi__jpeg_reset(stbi__jpeg *j)
{
   j->code_bits = 0;]=]
[=[
static void stbi__jpeg_reset(stbi__jpeg *j)
{
   if (j->code_bits < j->tonvik_padding_bits) j->tonvik_starved = 1;
   j->tonvik_padding_bits = 0;
   j->code_bits = 0;]=])
  _tonvik_replace_once(header "jpeg-padding-init"
[=[
   j->s = s;
   stbi__setup_jpeg(j);
   result = load_jpeg_image(j, x,y,comp,req_comp);]=]
[=[
   j->s = s;
   stbi__setup_jpeg(j);
   j->tonvik_padding_bits = 0;
   j->tonvik_starved = 0;
   j->code_bits = 0;
   result = load_jpeg_image(j, x,y,comp,req_comp);]=])
  _tonvik_replace_all(header "jpeg-restart-cut" 4
[=[
                  if (!STBI__RESTART(z->marker)) return 1;]=]
[=[
                  if (!STBI__RESTART(z->marker)) return stbi__tonvik_scan_cut(z, i, j);]=])
  _tonvik_replace_once(header "jpeg-scan-cut-helper"
[=[
static int stbi__parse_entropy_coded_data(stbi__jpeg *z)
{]=]
[=[
// A restart interval that ended in another marker: the scan stops there.
// Only after its last block (the interval ran out exactly at the end) is
// nothing lost; i and j are the block or MCU column and row just decoded.
static int stbi__tonvik_scan_cut(stbi__jpeg *z, int i, int j)
{
   int last_i, last_j;
   if (z->scan_n == 1) {
      int n = z->order[0];
      last_i = ((z->img_comp[n].x+7) >> 3) - 1;
      last_j = ((z->img_comp[n].y+7) >> 3) - 1;
   } else {
      last_i = z->img_mcu_x - 1;
      last_j = z->img_mcu_y - 1;
   }
   if (i != last_i || j != last_j) z->tonvik_starved = 1;
   return 1;
}

static int stbi__parse_entropy_coded_data(stbi__jpeg *z)
{]=])
  # Progressive JPEG: every scan walks every block of its components, and an
  # empty refinement scan costs the file about ten bytes, so a small file
  # could demand minutes. The blocks walked by all scans together are capped
  # at STBI_TONVIK_MAX_PASSES (stb_impl.cpp, with its reason) times the
  # image's blocks.
  _tonvik_replace_once(header "jpeg-scan-checks"
[=[
   if (!stbi__decode_jpeg_header(j, STBI__SCAN_load)) return 0;
   m = stbi__get_marker(j);
   while (!stbi__EOI(m)) {
      if (stbi__SOS(m)) {
         if (!stbi__process_scan_header(j)) return 0;
         if (!stbi__parse_entropy_coded_data(j)) return 0;]=]
[=[
   if (!stbi__decode_jpeg_header(j, STBI__SCAN_load)) return 0;
   m = stbi__get_marker(j);
   while (!stbi__EOI(m)) {
      if (stbi__SOS(m)) {
         if (!stbi__process_scan_header(j)) return 0;
         ++scans;
         scanned_blocks += stbi__tonvik_scan_blocks(j);
         if (scanned_blocks > STBI_TONVIK_MAX_PASSES * stbi__tonvik_image_blocks(j))
            return stbi__err("too many scans","Corrupt JPEG");
         stbi__tonvik_note_scan(j, final_coefficients);
         if (!stbi__parse_entropy_coded_data(j)) return 0;
         if (j->code_bits < j->tonvik_padding_bits) j->tonvik_starved = 1;
         if (j->tonvik_starved) return stbi__err("outofdata","Corrupt JPEG");]=])
  # JPEG: a file whose scans are complete but which ends without its EOI
  # marker decodes; before, the missing marker failed the whole image.
  # Complete means every coefficient of every component has reached its
  # full precision in some scan: a progressive file cut between two scans
  # holds only a coarse image, and is refused like any other cut file.
  _tonvik_replace_once(header "jpeg-missing-eoi"
[=[
      } else {
         if (!stbi__process_marker(j, m)) return 0;
      }
      m = stbi__get_marker(j);
   }]=]
[=[
      } else if (m == STBI__MARKER_none && stbi__at_eof(j->s) && stbi__tonvik_all_final(j, final_coefficients)) {
         break;
      } else {
         if (!stbi__process_marker(j, m)) return 0;
      }
      m = stbi__get_marker(j);
   }]=])
  _tonvik_replace_once(header "jpeg-scan-counter"
[=[
static int stbi__decode_jpeg_image(stbi__jpeg *j)
{
   int m;]=]
[=[
// Records which coefficients of each component a scan brings to full
// precision (no successive-approximation shift left): bit k for coefficient k.
static void stbi__tonvik_note_scan(stbi__jpeg *j, unsigned long long final_coefficients[4])
{
   int i, k;
   if (j->succ_low != 0) return;
   for (i=0; i < j->scan_n; ++i)
      for (k=j->spec_start; k <= j->spec_end; ++k)
         final_coefficients[j->order[i]] |= (unsigned long long) 1 << k;
}

// Blocks one scan walks: a single component's own blocks, or whole MCUs.
static long long stbi__tonvik_scan_blocks(stbi__jpeg *j)
{
   int i;
   long long per_mcu = 0;
   if (j->scan_n == 1) {
      int n = j->order[0];
      return (long long) ((j->img_comp[n].x+7) >> 3) * ((j->img_comp[n].y+7) >> 3);
   }
   for (i=0; i < j->scan_n; ++i)
      per_mcu += j->img_comp[j->order[i]].h * j->img_comp[j->order[i]].v;
   return (long long) j->img_mcu_x * j->img_mcu_y * per_mcu;
}

static long long stbi__tonvik_image_blocks(stbi__jpeg *j)
{
   int i;
   long long blocks = 0;
   for (i=0; i < j->s->img_n; ++i)
      blocks += (long long) ((j->img_comp[i].x+7) >> 3) * ((j->img_comp[i].y+7) >> 3);
   return blocks;
}

static int stbi__tonvik_all_final(stbi__jpeg *j, const unsigned long long final_coefficients[4])
{
   int i;
   for (i=0; i < j->s->img_n; ++i)
      if (final_coefficients[i] != ~(unsigned long long) 0) return 0;
   return 1;
}

static int stbi__decode_jpeg_image(stbi__jpeg *j)
{
   int m, scans = 0;
   long long scanned_blocks = 0;
   unsigned long long final_coefficients[4] = {0, 0, 0, 0};]=])

  # GIF: at the end of the input every byte read is 0, which decodes as
  # codes for colour 0 or as the end of the data, so a cut file came out
  # complete with its missing part filled. The frame now fails when the
  # decoder needs a byte past the end while pixels are still missing.
  _tonvik_replace_once(header "gif-ran-out-block"
[=[
            len = stbi__get8(s); // start new block
            if (len == 0)
               return g->out;]=]
[=[
            len = stbi__get8(s); // start new block
            if (s->tonvik_ran_out && g->cur_y < g->max_y)
               return stbi__errpuc("outofdata", "Corrupt GIF");
            if (len == 0)
               return g->out;]=])
  _tonvik_replace_once(header "gif-ran-out-data"
[=[
         --len;
         bits |= (stbi__int32) stbi__get8(s) << valid_bits;]=]
[=[
         --len;
         bits |= (stbi__int32) stbi__get8(s) << valid_bits;
         if (s->tonvik_ran_out && g->cur_y < g->max_y)
            return stbi__errpuc("outofdata", "Corrupt GIF");]=])

  # PNG: a file that ends after its image data, without IEND, decodes; the
  # chunk header read past the end stands for the missing IEND. Incomplete
  # image data still fails in the inflater.
  _tonvik_replace_once(header "png-missing-iend"
[=[
      stbi__pngchunk c = stbi__get_chunk_header(s);]=]
[=[
      stbi__pngchunk c = stbi__get_chunk_header(s);
      if (s->tonvik_ran_out && z->idata != NULL) c.type = STBI__PNG_TYPE('I','E','N','D');]=])

  # PNG: pixel indexes past a short PLTE read palette entries never set: the
  # stack held whatever came before, different from run to run.
  _tonvik_replace_once(header "png-palette-zeroed"
[=[
   stbi_uc palette[1024], pal_img_n=0;]=]
[=[
   stbi_uc palette[1024] = {0}, pal_img_n=0;]=])

  # BMP with an OS/2 v1 header (12 bytes, 3-byte palette entries): the
  # palette's length was computed as if the header had 24 bytes, four
  # entries short, so pixels using the last four colours came out black.
  _tonvik_replace_once(header "bmp-os2-palette-length"
[=[
         psize = (info.offset - info.extra_read - 24) / 3;]=]
[=[
         psize = (info.offset - info.extra_read - info.hsz) / 3;]=])

  # TGA: an index past the colour map took entry 0's colour; it is black,
  # as an index past the palette is in every other format.
  _tonvik_replace_once(header "tga-index-past-palette"
[=[
               if ( pal_idx >= tga_palette_len ) {
                  // invalid index
                  pal_idx = 0;
               }
               pal_idx *= tga_comp;
               for (j = 0; j < tga_comp; ++j) {
                  raw_data[j] = tga_palette[pal_idx+j];
               }]=]
[=[
               if ( pal_idx >= tga_palette_len ) {
                  for (j = 0; j < tga_comp; ++j) raw_data[j] = 0;
               } else {
                  pal_idx *= tga_comp;
                  for (j = 0; j < tga_comp; ++j) {
                     raw_data[j] = tga_palette[pal_idx+j];
                  }
               }]=])

  # PNG speed: the IDAT stream goes to libdeflate first, into a buffer of the
  # exact raw size (tonvik_png_inflate, defined by stb_impl.cpp before it
  # includes this header). When that refuses the stream, stb's own inflate
  # runs as it always did.
  _tonvik_replace_once(header "png-fast-inflate"
[=[
            z->expanded = (stbi_uc *) stbi_zlib_decode_malloc_guesssize_headerflag((char *) z->idata, ioff, raw_len, (int *) &raw_len, !is_iphone);]=]
[=[
            z->expanded = tonvik_png_inflate(z->idata, ioff, s->img_x, s->img_y, s->img_n, z->depth, interlace, !is_iphone, &raw_len);
            if (z->expanded == NULL)
               z->expanded = (stbi_uc *) stbi_zlib_decode_malloc_guesssize_headerflag((char *) z->idata, ioff, raw_len, (int *) &raw_len, !is_iphone);]=])

  # PNG speed: the Paeth predictor without branches (tonvik_png_paeth in
  # png_paeth.hpp, equal to this one on every input). Photographs mostly use
  # Paeth, and its comparisons are unpredictable there.
  _tonvik_replace_once(header "png-paeth-branch-free"
[=[
static int stbi__paeth(int a, int b, int c)
{
   int p = a + b - c;
   int pa = abs(p-a);
   int pb = abs(p-b);
   int pc = abs(p-c);
   if (pa <= pb && pa <= pc) return a;
   if (pb <= pc) return b;
   return c;
}]=]
[=[
static int stbi__paeth(int a, int b, int c)
{
   return tonvik_png_paeth(a, b, c);
}]=])

  # JPEG speed: 3-byte RGB output was converted one pixel at a time; AVX2
  # converts whole groups first with stb's exact arithmetic
  # (tonvik_ycbcr_to_rgb3 in jpeg_colour.hpp), and this loop does the rest.
  _tonvik_replace_once(header "jpeg-rgb3-colour"
[=[
   for (; i < count; ++i) {
      int y_fixed = (y[i] << 20) + (1<<19); // rounding]=]
[=[
   if (step == 3) {
      int done = tonvik_ycbcr_to_rgb3(out, y, pcb, pcr, count);
      i += done;
      out += 3 * done;
   }
   for (; i < count; ++i) {
      int y_fixed = (y[i] << 20) + (1<<19); // rounding]=])

  if(_tonvik_patch_failures)
    list(LENGTH _tonvik_patch_failures count)
    list(JOIN _tonvik_patch_failures "\n  " report)
    message(FATAL_ERROR "${count} stb_image patch(es) do not apply to ${original}:\n  ${report}")
  endif()

  set(banner "/* Generated at configure time from ${original} with the fixes in patch_stb_image.cmake. Do not edit. */\n")
  set(result "${banner}${header}")
  if(EXISTS "${patched}")
    file(READ "${patched}" previous)
    if(previous STREQUAL result)
      return()
    endif()
  endif()
  file(WRITE "${patched}" "${result}")
endfunction()
