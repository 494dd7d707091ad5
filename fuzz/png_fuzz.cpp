// Fuzz target: the PNG reader, through libpng's error handling.
#include "streamfuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzStream(data, size,
                      [](FILE* f, const SizeCheck& limits) { readPNG(f, "fuzz.png", limits); });
}
