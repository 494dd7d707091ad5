#pragma once
// Writing JPEG files.
#include <filesystem>

#include "imageio/image.h"

// Writes an 8-bit RGB image as a baseline JPEG file, top row first.
void writeJPEG(const std::filesystem::path& file, const ImageView<RgbPixel<unsigned char>>& img,
               int quality = 92);
