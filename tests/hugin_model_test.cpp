// Hugin's own tools are the reference for its dialect.

#include "geometry/camera.h"
#include "project/hugin_lens.h"
#include "project/pto.h"
#include "project/pto_write.h"
#include "adjust/rig_check.h"
#include "test_util.h"

namespace {

struct Panorama {
    int width, height;
    explicit Panorama(const ImageParameters& image)
        : width(2 * int(std::lround(pixelsPerRadian(image) * M_PI))), height(width / 2) {}
    // Hugin's position of a world direction: pixel centres on whole coordinates.
    vec2 position(vec3 d) const {
        double longitude = std::atan2(double(d.x), double(d.z));
        double colatitude = std::acos(std::clamp(double(d.y), -1.0, 1.0));
        return vec2(float(longitude / (2 * M_PI) * width + width / 2.0 - 0.5),
                    float(colatitude / M_PI * height - 0.5));
    }
    vec3 direction(vec2 q) const {
        double longitude = (q.x + 0.5 - width / 2.0) / width * 2 * M_PI;
        double colatitude = (q.y + 0.5) / height * M_PI;
        return vec3(float(std::sin(longitude) * std::sin(colatitude)), float(std::cos(colatitude)),
                    float(std::cos(longitude) * std::sin(colatitude)));
    }
};

std::vector<vec2> panoTrafo(const std::string& project, const std::vector<vec2>& positions,
                            bool reverse) {
    TempDir dir;
    std::string input;
    for (vec2 p : positions) input += fmt::sprintf("%.6f %.6f\n", p.x, p.y);
    RunResult r = runCommand(fmt::sprintf("(pano_trafo %s %s 0 < %s)", reverse ? "-r" : "",
                                          q(writeFile(dir / "p.pto", project)),
                                          q(writeFile(dir / "in.txt", input))));
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<vec2> out;
    std::istringstream lines(r.out);
    for (float x, y; lines >> x >> y;) out.emplace_back(x, y);
    return out;
}

// Outside a fisheye's circle or the frame pano_trafo's answers mean nothing.
std::vector<vec2> imagePositions(const ImageParameters& image) {
    std::vector<vec2> positions;
    const int steps = 48;
    for (int i = 0; i <= steps; ++i)
        for (int j = 0; j <= steps; ++j) {
            vec2 p((image.width - 1) * float(i) / steps, (image.height - 1) * float(j) / steps);
            vec2 fromCentre = p + kHuginPixelShift - vec2(image.width, image.height) / 2.0f;
            if (image.v > kFisheyeAboveFov && glm::length(fromCentre) > 0.49f * image.width)
                continue;
            positions.push_back(p);
        }
    return positions;
}

// In panorama and in image pixels, both ways.
std::pair<double, double> disagreement(const ImageParameters& image, const std::string& text) {
    CameraModel model(image);
    Panorama pano(image);
    std::string project = fmt::sprintf("p f2 w%d h%d v360 n\"TIFF\"\nm i0\n%s", pano.width,
                                       pano.height, text.substr(text.find("\ni ") + 1));
    std::vector<vec2> positions = imagePositions(image);
    EXPECT_GE(positions.size(), 1000u);
    std::vector<vec2> hugin = panoTrafo(project, positions, false);
    std::vector<vec2> back = panoTrafo(project, hugin, true);
    EXPECT_EQ(std::pair(hugin.size(), back.size()), std::pair(positions.size(), positions.size()));
    mat3 toCamera = cameraMat(image.y, image.p, image.r, vec2(0), vec2(0));
    double panoMax = 0, imageMax = 0;
    for (size_t k = 0; k < std::min(hugin.size(), back.size()); ++k) {
        vec2 q = pano.position(model.sourceToWorld(positions[k] + kHuginPixelShift));
        vec2 d = q - hugin[k];
        d.x = std::remainder(d.x, float(pano.width));
        panoMax = std::max(panoMax, double(glm::length(d)));
        vec2 s = model.cameraToSource(toCamera * pano.direction(hugin[k])) - kHuginPixelShift;
        imageMax = std::max(imageMax, double(glm::length(s - back[k])));
    }
    return {panoMax, imageMax};
}

}  // namespace

// Portrait, distortion and shifts are where the dialects' conventions differ.
TEST(HuginModel, AgreesWithPanoTrafo) {
    REQUIRE_THAT(commandsInstalled("pano_trafo"), "pano_trafo (Debian hugin-tools)");
    for (auto [f, v] : {std::pair(0, 75.f), {2, 190.f}, {3, 150.f}})
        for (bool landscape : {false, true}) {
            int w = landscape ? 1600 : 1200, h = landscape ? 1200 : 1600;
            std::string line = fmt::sprintf(
                "i w%d h%d f%d v%g y33.3 p-21.7 r7.4 a0.012 b-0.031 "
                "c0.017 d-12.9 e8.1 n\"x.jpg\"\n",
                w, h, f, v);
            Project read = parseHuginProject("p f2 w8000 h4000 v360\n" + line, "read.pto");
            ASSERT_EQ(read.images.size(), 1u);
            auto [panoRead, imageRead] = disagreement(read.images[0], line);

            // The same numbers as a project file's lens, written as Hugin's.
            Project written;
            ImageParameters& image = written.images.emplace_back(read.images[0]);
            image.a = 0.012f, image.b = -0.031f, image.c = 0.017f, image.v = v;
            auto [panoWritten, imageWritten] = disagreement(image, huginProjectText(written));

            for (double apart : {panoRead, imageRead, panoWritten, imageWritten})
                EXPECT_LT(apart, 0.01) << "f" << f << (landscape ? " landscape" : " portrait");
        }
}
