// What the matching run takes from a source texture besides its colours: a raw preview's size
// against the image the project describes, and the pixels that can measure exposure.
#include <cmath>

#include "Texture.h"
#include "exposure_mask.h"
#include "glfixture.h"
#include "readers.h"
#include "render.h"
#include "testutil.h"

using RawPreview = GlTest;
using ExposureMaskOf = GlTest;

// The shared raw sample previews image 3 of ring13 at a tenth of its size: the rendering must
// still show the project's image, and positions must come out in the project's pixels.
TEST_F(RawPreview, RendersAndMapsInTheProjectsPixels) {
    REQUIRE_SHARED();
    ImageParameters image = parsePTGuiProject(sharedDir() / "rigs/ring13/rig.pts").images.at(3);
    RemapShaders fish(false);
    CameraModel m[2];
    Image<RgbPixel<float>> got[2];
    for (int k : {0, 1}) {  // loaded as the run loads them
        Texture in(sharedDir() / (k ? "rigs/ring13/ring03.jpg" : "raw/IMG_0001.CR2"), true),
            out(96, 72, GL_RGB16F);
        stderrOf([&] {
            m[k] = render(fish.forSource(in), image, {image.y, image.p}, 60, in, out);
        });
        got[k] = Image<RgbPixel<float>>(96, 72);
        out.readPixels(got[k].data, GL_RGB, GL_FLOAT);
    }
    // Same project positions, and the same picture.
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0, worst = 0;
    int n = 0;
    for (int y = 0; y < 72; ++y)
        for (int x = 0; x < 96; ++x) {
            vec2 q(x, y), raw = m[0].dest2source(q), jpeg = m[1].dest2source(q);
            if (raw == vec2(0) || jpeg == vec2(0)) continue;
            worst = std::max(worst, double(glm::length(m[0].toProject(raw) - jpeg)));
            double u = got[0].at(x, y).g, v = got[1].at(x, y).g;
            sa += u, sb += v, saa += u * u, sbb += v * v, sab += u * v, ++n;
        }
    ASSERT_GT(n, 96 * 72 / 2);
    EXPECT_LT(worst, 0.05);
    double cov = sab - sa * sb / n;
    EXPECT_GT(cov / std::sqrt((saa - sa * sa / n) * (sbb - sb * sb / n)), 0.9);  // correlation
}

// The mask of a decoded file, from 8-bit codes and from Radiance pixels: a clipped (or black)
// and a near-black pixel, each grown by two, where the stored rows put them (row 0 at the top).
TEST_F(ExposureMaskOf, ClippedAndDarkStoredCodes) {
    SourceImage codes, radiance;
    codes.ldr = Image<RgbPixel<unsigned char>>(16, 12);
    radiance.rgbe = Image<Rgbe>(16, 12);
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 16; ++x) {
            codes.ldr.at(x, y) = {128, 128, 128};
            radiance.rgbe.at(x, y) = {128, 128, 128, 120};
        }
    codes.ldr.at(3, 2).g = 251;          // one clipped channel
    codes.ldr.at(7, 9).r = 249;          // bright, not clipped
    codes.ldr.at(12, 9) = {20, 20, 20};  // linear luminance 0.007
    // Radiance pixels never clip; only black ones (exponent 0) measure nothing.
    radiance.rgbe.at(3, 2).e = radiance.rgbe.at(12, 9).e = 0;
    struct Case {
        vec2 at;
        bool usable;
    } cases[] = {{{3.5f, 2.5f}, false}, {{5.9f, 4.1f}, false},  {{6.5f, 2.5f}, true},
                 {{3.5f, 5.5f}, true},  {{12.5f, 9.5f}, false}, {{8.5f, 6.5f}, true},
                 {{7.5f, 9.5f}, true},  {{-0.5f, 0}, false},    {{16.5f, 0}, false}};
    for (const SourceImage* image : {&codes, &radiance}) {
        ExposureMask m = exposureMaskOf(*image);
        for (const Case& c : cases)
            EXPECT_EQ(m.usable(c.at), c.usable)
                << (image == &codes) << ": " << c.at.x << ", " << c.at.y;
    }
}
