// Fuzz target: the Radiance reader, flat and run-length rows, whole and reduced as read.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>

#include "imageio/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!f) return 0;
    for (int eighths : {8, 5}) {
        std::rewind(f);
        try {
            readHDR(f, "fuzz.hdr", {}, eighths);
        } catch (const std::exception&) {
            // Bad files end in exceptions, which the tool reports.
        }
    }
    std::fclose(f);
    return 0;
}
