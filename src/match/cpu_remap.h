#pragma once
// The remap pass in native code, for software renderers: the mapping, filters and marks of
// fish.frag computed on the CPU instead of through an emulated GPU, several times faster there.
#include <array>
#include <atomic>
#include <cstdint>
#include <glm/vec4.hpp>
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

// An 8-bit sRGB code texel, as JPEG and 8-bit files decode.
using CodeTexel = RgbPixel<uint8_t>;

// A source image in linear light and its prefiltered levels, built when a patch first needs
// them: most rigs' patches are finer than their sources and never do. Level 0 is held either as
// half floats or, for 8-bit files, as the sRGB codes themselves, read through the table of their
// halves: the same light in three bytes a pixel instead of eight.
class LinearSource {
public:
    explicit LinearSource(Image<LinearTexel> image);
    explicit LinearSource(Image<CodeTexel> codes);

    int width() const { return holdsCodes() ? lazy_->codes.width : lazy_->levels[0].width; }
    int height() const { return holdsCodes() ? lazy_->codes.height : lazy_->levels[0].height; }
    // Whether level 0 is held as sRGB codes.
    bool holdsCodes() const { return lazy_->codes.data != nullptr; }
    // Level 0 as half floats; empty where it is held as codes.
    const Image<LinearTexel>& texels() const { return lazy_->levels[0]; }
    // Level 0 as sRGB codes; empty where it is held as half floats.
    const Image<CodeTexel>& codes() const { return lazy_->codes; }
    // Every level, each next half as large, as glGenerateMipmap builds them: each texel the
    // bilinear sample of the level above at its centre; level 0 is texels(). Built by the first
    // caller, once, while other threads wait.
    const std::vector<Image<LinearTexel>>& levels() const;

private:
    struct Lazy {
        std::vector<Image<LinearTexel>> levels;  // capacity for all, so level 0 never moves
        size_t count = 1;                        // levels down to 1 x 1
        Image<CodeTexel> codes;
        std::mutex building;
        std::atomic<bool> built{false};
    };
    std::unique_ptr<Lazy> lazy_;
};

// The linear light of each 8-bit sRGB code as a float, rounded to half precision: what a level
// of codes reads.
extern const std::array<float, 256> kCodeLight;

// A source decoded to linear light as half floats, with its levels; 8-bit codes are kept as
// they are where codes says so. Codes take 3 bytes a pixel instead of 8, but a sharp sample's
// 16 taps take longer from them: they suit sources decoded smaller than their files, whose views
// are coarser than their pixels and sample them mostly through the levels.
LinearSource linearSourceOf(SourceImage image, bool codes = true);

// Rectangles of a patch, (x0, y0, x1, y1) with the far edges outside.
using PatchRects = std::vector<glm::ivec4>;

// Renders source into the patch of m (whose inSize is the source's size) with vignetting
// (Vb, Vc, Vd) removed: exact black where m sees no source pixel, else what the remap shader
// gives there, rounded to half precision as a GL target stores it. Without lowPass, sampling
// stays sharp where the patch is coarser than the source (the shader without BLUR). Without
// widest, the pixel step takes the baseline instructions even where AVX2 and FMA exist. Where
// only is given, the pixels outside its rectangles are left black (and cost next to nothing).
Image<RgbPixel<float>> remapOnCpu(const LinearSource& source, const CameraModel& m,
                                  glm::vec3 vignetting, bool lowPass = true, bool widest = true,
                                  const PatchRects* only = nullptr);
