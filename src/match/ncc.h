#pragma once
// Normalised cross-correlation maps on the CPU (Lewis, "Fast Normalized Cross-Correlation",
// 1995): summed-area tables and the correlation of a template over a window.
#include "imageio/image.h"

// Summed-area table of v (Crow, "Summed-area tables for texture mapping", 1984):
// (w + 1) x (h + 1) doubles with a zero first row and column.
template <class T>
Image<double> createSAT(const ImageView<T>& v);

// Normalised cross-correlation of a zero-mean, unit-norm template (width a multiple
// of 4) at every placement in window, with window statistics from summed-area tables
// (Lewis, "Fast Normalized Cross-Correlation", 1995). Placements whose corner pixels
// are exactly 0 or whose variance is not positive score NaN.
template <class T>
Image<float> normalizedCorrelationCoefficient(const ImageView<T>& window,
                                              const ImageView<T>& templ);
