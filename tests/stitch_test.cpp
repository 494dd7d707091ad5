// korvel-stitch: the example rig through korvel and Hugin's tools to a panorama.

#include "imageio/readers.h"
#include "test_util.h"

TEST(Stitch, ExampleRigBecomesAPanoramaOfTheWidthAsked) {
    REQUIRE_THAT(commandsInstalled("autooptimiser pto_var pano_modify nona verdandi"),
                 "Hugin's tools (Debian hugin-tools)");
    TempDir dir;
    fs::path stitch = fs::path(KORVEL_EXE).parent_path() / "korvel-stitch";
    fs::path out = dir / "pano.jpg";
    std::string command =
        q(stitch) + " " + shellQuote(KORVEL_SOURCE_DIR "/examples/ring13/rig.pts") + " " + q(out);
    RunResult r = runCommand(command + " 1024");
    ASSERT_EQ(r.status, 0) << r.err;
    ImageSize size = readImageSize(out);
    EXPECT_EQ(std::pair(size.width, size.height), std::pair(1024, 512));
    r = runCommand(command + " 1023");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "WIDTH must be an even number of pixels, not '1023'")) << r.err;
}
