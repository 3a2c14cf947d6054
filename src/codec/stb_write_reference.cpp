// stb_image_write, compiled once as the reference our JPEG writer is held to
// (tests, fuzzers, benchmarks). Not part of the module: the module writes
// with jpeg_writer.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
