// The one translation unit that compiles the stb image loader and JPEG writer.
// Every format the loader knows stays enabled; nothing else defines these
// implementation macros, so there is exactly one copy of each library.
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image.h>
#include <stb_image_write.h>
