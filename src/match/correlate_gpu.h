#pragma once
// Correlation maps on the GPU.
#include "gl/shader.h"
#include "gl/texture.h"
#include "match/correlate.h"

// The GPU back end (ncc.frag): owns its program and its map target, so it must go before the
// context does.
class GpuCorrelator {
public:
    GpuCorrelator();

    // Map of kMapWidth x kMapHeight cells of corner c of rendering A (texA, read back as imgA)
    // searched in B; each cell one sub-sampled pixel, cell (kSearchX, kSearchY) the zero move.
    CorrelationMap map(const Texture& texA, const Texture& texB,
                       const ImageView<RgbPixel<float>>& imgA, const corner_t& c, int scale);

    // Seconds spent so far in each stage of the maps: set-up, drawing, reading back.
    struct Totals {
        float use = 0, render = 0, read = 0;
    };
    const Totals& totals() const { return totals_; }

private:
    Totals totals_;
    Shader shader_;
    // Single precision: half floats quantise scores near 1 into plateaus, and a plateau is no
    // strict local maximum, so a rival peak would go unseen by the distinctness test.
    Texture target_;
};
