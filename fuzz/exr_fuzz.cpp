// Fuzz target: the OpenEXR reader on its stdio stream, read whole and reduced.
#include "streamfuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (int eighths : {8, 5})
        fuzzStream(data, size, [eighths](FILE* f, const SizeCheck& limits) {
            readEXR(f, "fuzz.exr", limits, eighths);
        });
    return 0;
}
