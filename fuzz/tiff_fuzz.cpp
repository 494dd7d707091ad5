// Fuzz target: the TIFF reader: strips, tiles, both planar layouts and libtiff's RGBA path.
#include "streamfuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzStream(data, size,
                      [](FILE* f, const SizeCheck& limits) { readTIFF(f, "fuzz.tiff", limits); });
}
