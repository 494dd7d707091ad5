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
