#pragma once
// The body of the fuzz targets whose readers take a stdio stream.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "imageio/readers.h"

// Runs read(f, limits) on the bytes as a stream. A few bytes can state gigapixels: the size
// check refuses more than 2^18 pixels, which keeps executions fast.
template <class Read>
int fuzzStream(const uint8_t* data, size_t size, Read read) {
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!f) return 0;
    try {
        read(f, [](int w, int h) {
            if (int64_t(w) * h > (1 << 18)) throw std::runtime_error("too large");
        });
    } catch (const std::exception&) {
        // Bad files end in exceptions, which the tool reports.
    }
    std::fclose(f);
    return 0;
}
