#include <cmath>

#include "Shader.h"
#include "Texture.h"
#include "correlate.h"
#include "globals.h"

namespace {

// Adds a lap of the timer to a float accumulator of seconds.
void accumulate(Timer& timer, float& total) {
    total = float(double(total) + timer.lap());
}

}  // namespace

CorrelationMap gpuCorrelationMap(const Texture& texA, const Texture& texB,
                                 const ImageView<RgbPixel<float>>& imgA, const corner_t& c,
                                 int scale) {
    Timer timer;
    static Shader s_ncc("ncc", "");
    s_ncc.use(true);
    PatchSize p = patchSize(scale);
    // Single precision: half floats quantise scores near 1 into plateaus, and a plateau is no
    // strict local maximum, so a rival peak would go unseen by the distinctness test.
    Texture target(241, 201, GL_R32F);
    s_ncc.setUniform1i("sub_sampling", p.s);
    s_ncc.setUniform1f("mean", luminance(imgA.subView(c.x - p.r, c.y - p.r, p.P, p.P)));
    s_ncc.setUniform2i("win_tl", c.x - 120, c.y - 100);
    s_ncc.setUniform2i("tem_c", c.x, c.y);
    s_ncc.setUniform1i("tem_r", p.r);
    glFinish();
    accumulate(timer, t_use);

    renderTo(target, texB, texA, true);
    glFinish();
    accumulate(timer, t_render);

    CorrelationMap m;
    m.map = Image<float>(241, 201);
    target.readPixels(m.map.data, GL_RED, GL_FLOAT, 0, 0, 241, 201);
    glFinish();
    accumulate(timer, t_read);
    // The shader centres its cells on the corner: cell (120, 100) does not move it.
    m.ox = 120;
    m.oy = 100;
    return m;
}
