// Without GL the native remap is all there is: it must meet the camera model alone.
#include "match/cpu_remap.h"

#include "match/render.h"
#include "remap_model.h"

using namespace remap_model;

TEST(CpuRemap, EveryPoseAgreesWithTheCameraModel) {
    for (const float* p : poses)
        for (bool widest : {false, true}) {
            SCOPED_TRACE(testing::Message() << "fov " << p[5] << (widest ? " widest" : ""));
            ImageParameters image = poseImage(p);
            Image<Rgb> texels = poseTexels(p);
            CameraModel m = patchCamera(image, {p[13], p[14]}, p[15],
                                        vec2(texels.width, texels.height), vec2(p[16], p[17]), 0);
            Image<Rgb> got =
                remapOnCpu(linearOf(texels), m, vec3(image.Vb, image.Vc, image.Vd), false, widest);
            compare(got, m, 3e-3,
                    [&](dvec2 s, dvec3 v) { return againstModel(m, image, texels, s, v); });
        }
}

// The AVX2 step gives the baseline's bits, minified too; so do rectangles alone, black elsewhere.
TEST(CpuRemap, WidestStepEqualsBaselineWhereLevelsFilter) {
    for (const float* p : poses) {
        ImageParameters image = poseImage(p);
        LinearSource source = linearOf(poseTexels(p));
        CameraModel m = patchCamera(image, {p[13], p[14]}, p[15], vec2(p[11], p[12]),
                                    vec2(p[16], p[17]) / 4.0f, 0);
        const vec3 v(image.Vb, image.Vc, image.Vd);
        Image<Rgb> base = remapOnCpu(source, m, v, true, false),
                   wide = remapOnCpu(source, m, v, true, true);
        int seen = 0, n = base.width * base.height;
        for (int y = 0; y < base.height; ++y)
            for (int x = 0; x < base.width; ++x) seen += base.at(x, y).r > 0;
        EXPECT_GT(seen, n / 4) << "fov " << p[5];
        EXPECT_TRUE(sameBits(base, wide)) << "fov " << p[5];
        const int w = base.width, h = base.height;
        PatchRects only{{w / 5, h / 3, w / 2, h / 3 + 7}, {w / 3, h / 2, w + 9, h + 4}};
        Image<Rgb> want = makeImage(w, h, [&](int x, int y) {
            for (const glm::ivec4& r : only)
                if (x >= r.x && x < r.z && y >= r.y && y < r.w) return wide.at(x, y);
            return Rgb{0, 0, 0};
        });
        EXPECT_TRUE(sameBits(remapOnCpu(source, m, v, true, true, &only), want)) << "fov " << p[5];
    }
}

// 8-bit codes render as their half floats to the bit: sharp taps, level 0, levels, either step.
TEST(CpuRemap, CodesRenderAsTheirHalves) {
    for (const float* p : poses) {
        ImageParameters image = poseImage(p);
        SourceImage file;
        file.ldr = makeImage(int(p[11]), int(p[12]), [](int x, int y) {
            return RgbPixel<uint8_t>{uint8_t(x * 7 + y), uint8_t(x ^ (3 * y)),
                                     uint8_t(x * y % 253)};
        });
        Image<LinearTexel> texels(file.ldr.width, file.ldr.height);
        linearHalves(file, 4, &texels.row(0)->r);
        LinearSource halves(std::move(texels)), codes = linearSourceOf(std::move(file));
        ASSERT_TRUE(codes.holdsCodes());
        for (float scale : {1.5f, 0.6f, 0.25f})
            for (bool widest : {false, true}) {
                CameraModel m = patchCamera(image, {p[13], p[14]}, p[15], vec2(p[11], p[12]),
                                            vec2(p[16], p[17]) * scale, 0);
                vec3 v(image.Vb, image.Vc, image.Vd);
                EXPECT_TRUE(sameBits(remapOnCpu(halves, m, v, true, widest),
                                     remapOnCpu(codes, m, v, true, widest)))
                    << "fov " << p[5] << " scale " << scale << (widest ? " widest" : "");
            }
    }
}
