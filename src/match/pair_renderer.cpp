#include "match/pair_renderer.h"

#include <GL/glew.h>

#include "base/timer.h"

Rendering NativeRenderer::render(const ImageParameters& image, const Source& source,
                                 const PairView& view, glm::ivec2 size, int slot) {
    return renderRegion(image, source, view, size, slot, {});
}

Rendering NativeRenderer::renderRegion(
    const ImageParameters& image, const Source& source, const PairView& view, glm::ivec2 size, int,
    const std::function<PatchRects(const CameraModel&)>& regionOf) {
    const LinearSource& linear = *source.linear;
    CameraModel m =
        patchCamera(image, vec2(view.yaw, view.pitch), view.fovX,
                    vec2(float(linear.width()), float(linear.height())), vec2(size), view.roll);
    PatchRects only;
    if (regionOf) only = regionOf(m);
    Image<RgbPixel<float>> patch = remapOnCpu(linear, m, glm::vec3(image.Vb, image.Vc, image.Vd),
                                              true, true, regionOf ? &only : nullptr);
    lapTimer().print("render (korvel)");
    return {m, std::move(patch)};
}

glm::ivec2 fixedTargetSize(bool fisheye, bool tall) {
    if (tall) return {512, fisheye ? 2048 : 1280};
    return {fisheye ? 1280 : 1024, 768};
}

GlRenderer::GlRenderer(bool fisheye, bool gpuCorrelation, bool fixedTargets) : remap_(fisheye) {
    if (gpuCorrelation) gpu_ = std::make_unique<GpuCorrelator>();
    if (!fixedTargets) return;
    glm::ivec2 tall = fixedTargetSize(fisheye, true), wide = fixedTargetSize(fisheye, false);
    for (int slot : {0, 1}) {
        tall_[slot].emplace(tall.x, tall.y, GL_RGB16F);
        wide_[slot].emplace(wide.x, wide.y, GL_RGB16F);
    }
}

Rendering GlRenderer::render(const ImageParameters& image, const Source& source,
                             const PairView& view, glm::ivec2 size, int slot) {
    // A derived view has its own size, and its own targets.
    if (view.width > 0) {
        own_[slot].emplace(size.x, size.y, GL_RGB16F);
        target_[slot] = &*own_[slot];
    } else {
        target_[slot] = view.tall ? &*tall_[slot] : &*wide_[slot];
    }
    CameraModel camera =
        ::render(remap_.forSource(*source.texture), image, vec2(view.yaw, view.pitch), view.fovX,
                 *source.texture, *target_[slot], view.roll);
    Image<RgbPixel<float>> pixels = readRendering(*target_[slot]);
    glFinish();
    lapTimer().print("gpu -> cpu (korvel)");
    return {camera, std::move(pixels)};
}

CorrelationBackend GlRenderer::correlation(const Image<RgbPixel<float>>& imgA) {
    if (!gpu_) return {};
    return [this, &imgA](const corner_t& c, int s) {
        return gpu_->map(*target_[0], *target_[1], imgA, c, s);
    };
}

void GlRenderer::finish() {
    glFinish();
}
