// korvel-stitch: the example rig through korvel and Hugin's tools to a panorama.

#include "imageio/readers.h"
#include "project/project.h"
#include "test_util.h"

TEST(Stitch, ExampleRigBecomesAPanoramaOfTheWidthAsked) {
    REQUIRE_THAT(commandsInstalled("autooptimiser pto_var pano_modify nona verdandi"),
                 "Hugin's tools (Debian hugin-tools)");
    TempDir dir;
    fs::path stitch = fs::path(KORVEL_EXE).parent_path() / "korvel-stitch", out = dir / "pano.jpg";
    std::string command =
        q(stitch) + " " + shellQuote(KORVEL_SOURCE_DIR "/examples/ring13/rig.pts") + " " + q(out);
    RunResult r = runCommand("KORVEL_STITCH_KEEP=" + q(dir / "keep") + " " + command + " 1024");
    ASSERT_EQ(r.status, 0) << r.err;
    ImageSize size = readImageSize(out);
    EXPECT_EQ(std::pair(size.width, size.height), std::pair(1024, 512));
    // The example's poses are exact: optimised from korvel's points they stay where they are.
    Project given = readProject(KORVEL_SOURCE_DIR "/examples/ring13/rig.pts");
    Project optimised = readProject(dir / "keep/optimised.pto");
    ASSERT_EQ(optimised.images.size(), given.images.size());
    for (size_t k = 1; k < given.images.size(); ++k) {
        const ImageParameters &a = given.images[k], &b = optimised.images[k];
        for (auto [u, v] : {std::pair(a.y, b.y), {a.p, b.p}, {a.r, b.r}})
            EXPECT_LT(std::fabs(std::remainder(u - v, 360.0f)), 0.05f) << "image " << k;
    }
    // The rig sees all above its lowest ring: no image is left out of the upper half's blend.
    SourceImage pano = readImageFile(out);
    ASSERT_EQ(pano.ldr.width, 1024);
    int black = 0;
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 1024; ++x) {
            const RgbPixel<uint8_t>& p = pano.ldr.at(x, y);
            black += std::max({p.r, p.g, p.b}) < 8;
        }
    EXPECT_LT(black, 1024 * 256 / 100);
    r = runCommand(command + " 1023");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(holds(r.err, "WIDTH must be an even number of pixels, not '1023'"));
}
