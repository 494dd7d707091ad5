// Fuzz target: the TIFF reader: strips, tiles, both planar layouts and libtiff's RGBA path, read
// whole and reduced.
#include "streamfuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (int eighths : {8, 5})
        fuzzStream(data, size, [eighths](FILE* f, const SizeCheck& limits) {
            readTIFF(f, "fuzz.tiff", limits, eighths);
        });
    return 0;
}
