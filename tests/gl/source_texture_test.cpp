// What the matching run takes from a source texture besides its colours: a raw preview's size
// against the image the project describes, and the pixels that can measure exposure.
#include <cmath>
#include <gtest/gtest.h>
#include <vector>

#include "Shader.h"
#include "Texture.h"
#include "exposure_mask.h"
#include "glfixture.h"
#include "project.h"
#include "render.h"
#include "testutil.h"

namespace {

Image<RgbPixel<float>> readBack(const Texture& t) {
    Image<RgbPixel<float>> img(t.width, t.height);
    t.readPixels(img.data, GL_RGB, GL_FLOAT);
    return img;
}

}  // namespace

// The shared raw sample previews image 3 of ring13 at a tenth of its size: the rendering must
// still show the project's image, and positions must come out in the project's pixels.
TEST(RawPreview, RendersAndMapsInTheProjectsPixels) {
    REQUIRE_GL();
    REQUIRE_SHARED();
    ImageParameters image = parsePTGuiProject(sharedDir() / "rigs/ring13/rig.pts").images.at(3);
    Texture raw(sharedDir() / "raw/IMG_0001.CR2"), jpeg(sharedDir() / "rigs/ring13/ring03.jpg");
    ASSERT_EQ(raw.width * 10, image.width);

    Shader fish("fish", cameraDefines() + "#define BLUR\n");
    fish.setUniform1f("exposureOffset", 0.0f);
    fish.setUniformMatrix3fv("colorMat", glm::mat3(1.0f));
    Texture outRaw(96, 72, GL_RGB16F), outJpeg(96, 72, GL_RGB16F);
    vec2 view(image.y, image.p);
    CameraModel mRaw, mJpeg;
    stderrOf([&] {
        mRaw = render(fish, image, view, 60, raw, outRaw);
        mJpeg = render(fish, image, view, 60, jpeg, outJpeg);
    });
    EXPECT_EQ(mRaw.projectScale, vec2(10));
    EXPECT_NEAR(mRaw.d, image.d / 10, 1e-5);
    EXPECT_NEAR(mRaw.e, image.e / 10, 1e-5);

    // Same project positions, and the same picture.
    Image<RgbPixel<float>> a = readBack(outRaw), b = readBack(outJpeg);
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0, worst = 0;
    int n = 0;
    for (int y = 0; y < 72; ++y)
        for (int x = 0; x < 96; ++x) {
            vec2 q(x, y), pr = mRaw.dest2source(q), pj = mJpeg.dest2source(q);
            if (pr == vec2(0) || pj == vec2(0)) continue;
            worst = std::max(worst, double(glm::length(mRaw.toProject(pr) - pj)));
            double u = a.at(x, y).g, v = b.at(x, y).g;
            sa += u, sb += v, saa += u * u, sbb += v * v, sab += u * v, ++n;
        }
    ASSERT_GT(n, 96 * 72 / 2);
    EXPECT_LT(worst, 0.05);
    double cov = sab - sa * sb / n;
    double correlation = cov / std::sqrt((saa - sa * sa / n) * (sbb - sb * sb / n));
    EXPECT_GT(correlation, 0.9);
}

// The mask of an uploaded 8-bit image, as codes and as linear light: a clipped and a
// near-black pixel, each grown by two, where the stored rows put them (row 0 at the top).
TEST(ExposureMaskOf, ClippedAndDarkStoredCodes) {
    REQUIRE_GL();
    std::vector<unsigned char> bytes(3 * 16 * 12, 128);
    auto set = [&](int x, int y, unsigned char r, unsigned char g, unsigned char b) {
        unsigned char* p = &bytes[3 * (y * 16 + x)];
        p[0] = r, p[1] = g, p[2] = b;
    };
    set(3, 2, 128, 251, 128);  // one clipped channel
    set(7, 9, 249, 128, 128);  // bright, not clipped
    set(12, 9, 20, 20, 20);    // linear luminance 0.007
    std::vector<float> linear;
    for (unsigned char c : bytes) linear.push_back(std::pow((c / 255.0f + 0.055f) / 1.055f, 2.4f));
    Texture codes, light;
    codes.setup(16, 12, GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, bytes.data(), 0);
    light.setup(16, 12, GL_RGB16F, GL_RGB, GL_FLOAT, linear.data(), 0);
    struct Case {
        vec2 at;
        bool usable;
    } cases[] = {{{3.5f, 2.5f}, false}, {{5.9f, 4.1f}, false},  {{6.5f, 2.5f}, true},
                 {{3.5f, 5.5f}, true},  {{12.5f, 9.5f}, false}, {{8.5f, 6.5f}, true},
                 {{7.5f, 9.5f}, true},  {{-0.5f, 0}, false},    {{16.5f, 0}, false}};
    for (const Texture* t : {&codes, &light}) {
        ExposureMask m = exposureMaskOf(*t);
        for (const Case& c : cases)
            EXPECT_EQ(m.usable(c.at), c.usable) << t->isHDR << ": " << c.at.x << ", " << c.at.y;
    }
}
