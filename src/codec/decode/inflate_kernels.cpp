// zlib-ng's table of kernels, for its inflater alone. The release's own table
// (functable.c, not pinned) also points at every compressor and checksum
// kernel it has, which would bring all of them into the module; raw inflate
// calls two entries, inflate_fast and chunkmemset_safe, set here to the
// portable C kernels. zlib-ng calls force_init from zng_inflateInit2 before
// any kernel; the checksum and compressor entries stay null, as raw deflate
// (window bits -15, decode/inflate_stream.cpp) never reaches them.
extern "C" {
#include "functable.h"
#include "arch_functions.h"
}

namespace {

int kernels_chosen() { return 0; }

constexpr functable_s inflate_kernels() {
  functable_s table{};
  table.force_init = &kernels_chosen;
  table.inflate_fast = &inflate_fast_c;
  table.chunkmemset_safe = &chunkmemset_safe_c;
  return table;
}

}  // namespace

extern "C" {
struct functable_s functable = inflate_kernels();
}
