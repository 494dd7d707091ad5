#pragma once
// The remap pass in native code, for software renderers: the mapping, filters and marks of
// fish.frag computed on the CPU instead of through an emulated GPU, several times faster there.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "geometry/camera.h"
#include "imageio/image.h"
#include "imageio/readers.h"

// A linear-light texel at half precision (as GL's RGB16F sources hold it) with an unused fourth
// lane, so that one 8-byte load takes it.
struct alignas(8) LinearTexel {
    uint16_t r, g, b, a;
};

// A source image in linear light and its prefiltered levels, built when a patch first needs
// them: most rigs' patches are finer than their sources and never do.
class LinearSource {
public:
    explicit LinearSource(Image<LinearTexel> image);

    int width() const { return image().width; }
    int height() const { return image().height; }
    // The image itself, level 0.
    const Image<LinearTexel>& image() const { return lazy_->levels[0]; }
    // Every level, each next half as large, as glGenerateMipmap builds them: each texel the
    // bilinear sample of the level above at its centre. Built by the first caller, once, while
    // other threads wait.
    const std::vector<Image<LinearTexel>>& levels() const;

private:
    struct Lazy {
        std::vector<Image<LinearTexel>> levels;  // capacity for all, so level 0 never moves
        std::mutex building;
        std::atomic<bool> built{false};
    };
    std::unique_ptr<Lazy> lazy_;
};

// A source decoded to linear light (sRGB codes or Radiance texels), with its levels.
LinearSource linearSourceOf(const SourceImage& image);

// Renders source into the patch of m (whose inSize is the source's size) with vignetting
// (Vb, Vc, Vd) removed: exact black where m sees no source pixel, else what the remap shader
// gives there, rounded to half precision as a GL target stores it. Without lowPass, sampling
// stays sharp where the patch is coarser than the source (the shader without BLUR). Without
// widest, the pixel step takes the baseline instructions even where AVX2 and FMA exist.
Image<RgbPixel<float>> remapOnCpu(const LinearSource& source, const CameraModel& m,
                                  glm::vec3 vignetting, bool lowPass = true, bool widest = true);
