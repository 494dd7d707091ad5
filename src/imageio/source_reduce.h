#pragma once
// Decoded sources made smaller as they are read, for the formats whose readers cannot decode at
// a smaller size as libjpeg does.
#include <vector>

#include "imageio/readers.h"

// Per output pixel of one axis, the full-size pixels it covers and their shares of it.
struct AxisShares {
    std::vector<int> first;    // per output pixel, its first full-size pixel
    std::vector<int> start;    // per output pixel, its first share in share; one entry more
    std::vector<float> share;  // every output pixel's shares, in order
};

// Reduces an image of Pixel (RgbPixel of 8-bit or 16-bit codes or of floats, or Rgbe) to
// eighths / 8 of each side (rounded up, as libjpeg rounds) from its full-size rows, given top
// row first, one at a time: each pixel the mean of the full-size area it covers, pixel i spanning
// [8i / eighths, 8(i + 1) / eighths) of the full size, clipped to it, so that points found in
// it map back by the scale alone. Codes are averaged as codes and rounded (as a scaled JPEG
// decode filters its codes), linear light as light, Radiance pixels as their light, encoded as
// Radiance pixels again. Holds two rows of sums, never the full size.
template <class Pixel>
class RowReducer {
public:
    RowReducer(int width, int height, int eighths);
    // Adds the next full-size row, width pixels.
    void add(const Pixel* row);
    // The reduced image, once every row is added.
    Image<Pixel> finish();

private:
    AxisShares across_, down_;
    int width_, height_, added_ = 0, done_ = 0;
    std::vector<float> sums_[2];  // output rows done_ and done_ + 1
    Image<Pixel> out_;
};

// The image at eighths / 8 of each side, as RowReducer makes it from the image's rows; at
// eighths of 8 or more the image comes back as it is.
template <class Pixel>
Image<Pixel> reducedImage(Image<Pixel> full, int eighths);
