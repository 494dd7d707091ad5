#pragma once
// The remap of a pair's two images into its view: native code or GL behind one interface.
#include <functional>
#include <glm/vec2.hpp>
#include <memory>
#include <optional>

#include "geometry/camera.h"
#include "imageio/image.h"
#include "match/correlate.h"
#include "match/correlate_gpu.h"
#include "match/cpu_remap.h"
#include "match/render.h"
#include "match/source.h"
#include "project/project.h"
#include "schedule/schedule.h"

// One image rendered into a pair's view: the mapping's model and the pixels.
struct Rendering {
    CameraModel camera;
    Image<RgbPixel<float>> image;
};

// Renders the images of a pair into its view, and makes the pair's correlation maps.
class PairRenderer {
public:
    virtual ~PairRenderer() = default;
    // Renders image, read as source, into the view at the given target size, as the pair's
    // first (slot 0) or second (slot 1) image.
    virtual Rendering render(const ImageParameters& image, const Source& source,
                             const PairView& view, glm::ivec2 size, int slot) = 0;
    // render where only the rectangles that the last argument gives for the rendering's model
    // are needed: the other pixels may be left black. This one renders them all.
    virtual Rendering renderRegion(const ImageParameters& image, const Source& source,
                                   const PairView& view, glm::ivec2 size, int slot,
                                   const std::function<PatchRects(const CameraModel&)>&) {
        return render(image, source, view, size, slot);
    }
    // The correlation back end of the pair rendered last, whose first rendering is imgA; empty
    // for correlation on the CPU.
    virtual CorrelationBackend correlation(const Image<RgbPixel<float>>& imgA) = 0;
    // Whether the second image may be rendered again, turned, while its pair is matched.
    virtual bool rendersAgain() const = 0;
    // Waits for work the renderer queued, so that timings fall where they belong.
    virtual void finish() {}
};

// The native remap (remapOnCpu); correlation on the CPU. Safe to share between threads.
class NativeRenderer : public PairRenderer {
public:
    Rendering render(const ImageParameters& image, const Source& source, const PairView& view,
                     glm::ivec2 size, int slot) override;
    Rendering renderRegion(const ImageParameters& image, const Source& source, const PairView& view,
                           glm::ivec2 size, int slot,
                           const std::function<PatchRects(const CameraModel&)>& regionOf) override;
    CorrelationBackend correlation(const Image<RgbPixel<float>>&) override { return {}; }
    bool rendersAgain() const override { return true; }
};

// The GL remap pass (fish.frag) into the fixed targets of a fixed schedule or a pair's own,
// and correlation on the GPU where asked. Owns GL objects: it goes before the context.
class GlRenderer : public PairRenderer {
public:
    // fisheye: the rig's fixed schedule is the fisheye one; fixedTargets: make the tall and
    // wide targets of the fixed schedules.
    GlRenderer(bool fisheye, bool gpuCorrelation, bool fixedTargets);
    Rendering render(const ImageParameters& image, const Source& source, const PairView& view,
                     glm::ivec2 size, int slot) override;
    CorrelationBackend correlation(const Image<RgbPixel<float>>& imgA) override;
    bool rendersAgain() const override { return false; }
    void finish() override;
    // The GPU correlation's stage totals, when it runs.
    const GpuCorrelator* gpu() const { return gpu_.get(); }

private:
    RemapShaders remap_;
    std::unique_ptr<GpuCorrelator> gpu_;
    std::optional<Texture> tall_[2], wide_[2], own_[2];
    Texture* target_[2] = {nullptr, nullptr};  // where each slot rendered last
};

// The target sizes of the two fixed schedules: tall or wide views of a pair.
glm::ivec2 fixedTargetSize(bool fisheye, bool tall);
