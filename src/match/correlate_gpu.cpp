#include "match/correlate_gpu.h"

#include "base/timer.h"

namespace {

// Adds a lap of the timer to a float accumulator of seconds.
void accumulate(Timer& timer, float& total) {
    total = float(double(total) + timer.lap());
}

}  // namespace

GpuCorrelator::GpuCorrelator()
    : shader_("ncc", correlationDefines()), target_(kMapWidth, kMapHeight, GL_R32F) {}

CorrelationMap GpuCorrelator::map(const Texture& texA, const Texture& texB,
                                  const ImageView<RgbPixel<float>>& imgA, const corner_t& c,
                                  int scale) {
    Timer timer;
    shader_.use(true);
    PatchSize p = patchSize(scale);
    shader_.setUniform1i("sub_sampling", p.s);
    shader_.setUniform1f("mean", luminance(imgA.subView(c.x - p.r, c.y - p.r, p.P, p.P)));
    shader_.setUniform2i("win_tl", c.x - kSearchX, c.y - kSearchY);
    shader_.setUniform2i("tem_c", c.x, c.y);
    shader_.setUniform1i("tem_r", p.r);
    glFinish();
    accumulate(timer, totals_.use);

    renderTo(target_, texB, texA, true);
    glFinish();
    accumulate(timer, totals_.render);

    CorrelationMap m;
    m.map = Image<float>(kMapWidth, kMapHeight);
    target_.readPixels(m.map.data, GL_RED, GL_FLOAT, 0, 0, kMapWidth, kMapHeight);
    glFinish();
    accumulate(timer, totals_.read);
    // The shader centres its cells on the corner: this cell does not move it.
    m.ox = kSearchX;
    m.oy = kSearchY;
    return m;
}
