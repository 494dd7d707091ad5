// Fuzz target: the PNG reader, through libpng's error handling, read whole and reduced.
#include "streamfuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (int eighths : {8, 5})
        fuzzStream(data, size, [eighths](FILE* f, const SizeCheck& limits) {
            readPNG(f, "fuzz.png", limits, eighths);
        });
    return 0;
}
