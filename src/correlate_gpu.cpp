#include <stdexcept>

#include "correlate.h"

Image<float> gpuCorrelationMap(const Texture&, const Texture&, const ImageView<RgbPixel<float>>&,
                               const corner_t&, int) {
    throw std::runtime_error("GPU correlation is not available");
}
