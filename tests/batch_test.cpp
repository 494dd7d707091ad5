// korvel-batch over a folder of rigs, one of them broken, then resumed.
#include <gtest/gtest.h>

#include "testutil.h"

TEST(Batch, TwoDoneOneFailedThenResumeRunsOnlyWhatIsLeft) {
    REQUIRE_SHARED();
    TempDir dir;
    fs::path rig = sharedDir() / "rigs/fisheye6";
    for (const char* name : {"a", "b", "c"}) copyRig(rig, dir / name);
    fs::remove(dir / "b/fish05.jpg");
    // DEBUG=5 starts the fisheye schedule at its last ring image: two pairs a rig.
    std::string command =
        "DEBUG=5 " + shellQuote((fs::path(KORVEL_EXE).parent_path() / "korvel-batch").string()) +
        " --jobs 2 ";
    RunResult r = runCommand(command + shellQuote(dir.path.string()));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(contains(r.out, "3 projects: 2 done, 1 failed, 0 not run")) << r.out;
    EXPECT_TRUE(
        contains(r.out, "failed  " + (dir / "b/rig.pts").string() + "  status 255: Error ("))
        << r.out;
    for (const char* name : {"a", "c"}) {
        EXPECT_TRUE(contains(r.out, "done    " + (dir / name / "rig.pts").string())) << r.out;
        EXPECT_TRUE(contains(readFile(dir / name / "rig.cp.pts"), "\nc n1 N6 ")) << name;
    }
    EXPECT_FALSE(fs::exists(dir / "b/rig.cp.pts"));

    // Mended, only b runs again.
    fs::create_symlink(rig / "fish05.jpg", dir / "b/fish05.jpg");
    auto before = fs::last_write_time(dir / "a/rig.log");
    r = runCommand(command + "--resume " + shellQuote(dir.path.string()));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "3 projects: 3 done, 0 failed, 0 not run")) << r.out;
    EXPECT_EQ(fs::last_write_time(dir / "a/rig.log"), before);
    EXPECT_TRUE(fs::exists(dir / "b/rig.cp.pts"));
}
