#include "corners.h"

#include <cmath>
#include <cstdlib>

#include "Shader.h"
#include "Texture.h"
#include "globals.h"
#include "image.h"

bool isNear(const corner_t& c, const std::vector<corner_t>& list, int d) {
    for (const corner_t& o : list)
        if (std::abs(c.x - o.x) < d && std::abs(c.y - o.y) < d) return true;
    return false;
}

CornerBuckets findCorners(const Texture& src, int scale) {
    int W = src.width, H = src.height;
    Texture t1(W, H, GL_RGBA16F), t2(W, H, GL_RGBA16F);
    static Shader corner("corner", "");
    corner.use(true);
    corner.setUniform1i("scale", int(std::pow(double(scale), double(1.6f))));
    corner.setUniform1i("pass", 0);
    renderTo(t1, src, true);
    corner.setUniform1i("pass", 1);
    renderTo(t2, t1, true);
    corner.setUniform1i("pass", 2);
    renderTo(t1, t2, true);
    glFinish();
    t.print("corner.frag");

    int rw = W >= 4 ? W / 4 : W, rh = H >= 4 ? H / 4 : H;
    Image<RgbPixel<float>> found(rw, rh);
    t1.readPixels(found.data, GL_RGB, GL_FLOAT, 0, 0, rw, rh);
    glFinish();
    t.print("gpu -> cpu (corners)");

    int tilesX = W / 256, tilesY = H / 256;
    CornerBuckets buckets(size_t(tilesX * tilesY));
    for (int v = 0; v < rh; ++v)
        for (int u = 0; u < rw; ++u) {
            const RgbPixel<float>& p = found.at(u, v);
            if (!(p.b > 0)) continue;
            corner_t c{int(p.r), int(p.g), p.b, scale};
            int tx = c.x / 256, ty = c.y / 256;
            // Corners beyond the last whole tile have no list.
            if (c.x < 0 || c.y < 0 || tx >= tilesX || ty >= tilesY) continue;
            buckets[size_t(ty * tilesX + tx)].push_back(c);
        }
    return buckets;
}
