// Fuzz target: the PPM reader of raw previews.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>

#include "readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!f) return 0;
    try {
        readPNM<unsigned char>(f);
    } catch (const std::exception&) {
        // Bad previews end in exceptions, which the tool reports.
    }
    std::fclose(f);
    return 0;
}
