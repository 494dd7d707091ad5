#pragma once
// Test pictures in the formats korvel reads, written through the same libraries.
#include <cstdint>
#include <filesystem>

#include "imageio/image.h"

struct TiffLayout {
    int compression = 1;    // libtiff's COMPRESSION_* value
    int tile = 0;           // tile side in pixels; 0: strips of rowsPerStrip rows
    int rowsPerStrip = 3;   // rows of each strip
    bool separate = false;  // one plane per channel
    bool grey = false;      // the red channel alone, as a grey picture
};

// Writes 8-bit, 16-bit or float RGB pixels as a TIFF file; throws on failure.
template <class T>
void writeTIFF(const std::filesystem::path& file, const ImageView<RgbPixel<T>>& image,
               const TiffLayout& layout = {});

template <class T>
void writePNG(const std::filesystem::path& file, const ImageView<RgbPixel<T>>& image,
              bool interlaced = false);

// Y alone is taken from the red channel.
void writeEXR(const std::filesystem::path& file, const ImageView<RgbPixel<float>>& image,
              bool halves, bool luminanceOnly = false, int x0 = 0, int y0 = 0);
