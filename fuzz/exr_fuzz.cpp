// Fuzz target: the OpenEXR reader on its stdio stream.
#include "streamfuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzStream(data, size,
                      [](FILE* f, const SizeCheck& limits) { readEXR(f, "fuzz.exr", limits); });
}
