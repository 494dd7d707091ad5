#include "app/options.h"

#include "test_util.h"

namespace {

RunOptions optionsOf(std::vector<std::string> args, const std::map<std::string, std::string>& env) {
    std::vector<char*> argv;
    args.insert(args.begin(), "korvel");
    for (std::string& a : args) argv.push_back(a.data());
    return readOptions(int(argv.size()), argv.data(), [&](const char* name) {
        auto it = env.find(name);
        return it == env.end() ? std::nullopt : std::optional<std::string>(it->second);
    });
}

}  // namespace

// Every number and choice reads whole or is refused by name; empty values count as unset.
TEST(RunOptions, NumbersAndChoicesReadOnceByOneRule) {
    RunOptions plain = optionsOf({"-e", "rig.pts"}, {});
    EXPECT_EQ(plain.operands, std::vector<std::string>{"rig.pts"});
    EXPECT_EQ(std::tuple(plain.evaluate, plain.decimals, plain.debug, plain.threadsGiven),
              std::tuple(true, 1, false, false));
    std::map<std::string, std::string> env = {
        {"KORVEL_CP_DECIMALS", "6"},    {"NCC", "gpu"},
        {"KORVEL_REMAP", "cpu"},        {"DEBUG", "3"},
        {"KORVEL_SCHEDULE", "derived"}, {"KORVEL_DUMP", "dump"},
        {"USE_ARRAY_TEXTURE", ""},      {"KORVEL_MEMORY", "512"},
        {"OMP_NUM_THREADS", "3"}};
    RunOptions set = optionsOf({"rig.pts", "-p", "copy.pts", "rig.log"}, env);
    EXPECT_EQ(set.operands, (std::vector<std::string>{"rig.pts", "rig.log"}));
    EXPECT_EQ(std::tuple(set.projectOut.string(), set.dumpDir, set.decimals, set.fisheyeStart,
                         set.memoryMiB),
              std::tuple("copy.pts", "dump", 6, 3, 512));
    EXPECT_EQ(std::tuple(set.correlation, set.remap, set.schedule),
              std::tuple(Correlation::gpu, RemapChoice::native, ScheduleRequest::derived));
    EXPECT_EQ(std::tuple(set.debug, set.threadsGiven, set.gl.arrayTextures, set.gl.coreProfile),
              std::tuple(true, true, true, false));
    // DEBUG's text turns flushing on; only a number picks the fisheye start, 0 meaning 1.
    for (auto [text, start] : {std::pair("yes", 1), {"", 1}, {"0", 1}, {"5", 5}}) {
        RunOptions o = optionsOf({"p"}, {{"DEBUG", text}});
        EXPECT_EQ(std::pair(o.debug, o.fisheyeStart), std::pair(true, start)) << text;
    }
    EXPECT_EQ(optionsOf({"p"}, {{"NCC", ""}, {"KORVEL_REMAP", ""}}).remap, RemapChoice::automatic);
    // DEBUG=6: there is no ring image 6. Each message names the value; some are given whole.
    for (std::string refused :
         {"KORVEL_CP_DECIMALS=2x' is no number of decimals from 0 to 6", "KORVEL_CP_DECIMALS=7",
          "KORVEL_CP_DECIMALS= 2", "DEBUG=6", "DEBUG=5x", "DEBUG=-2", "NCC=GPU", "KORVEL_REMAP=GPU",
          "KORVEL_SCHEDULE=fixd' names no schedule: use derived or fixed", "KORVEL_MEMORY=1G"}) {
        size_t at = refused.find('='), end = std::min(refused.find('\''), refused.size());
        std::string name = refused.substr(0, at), text = refused.substr(at + 1, end - at - 1);
        std::string message = errorMessage([&] { optionsOf({"p"}, {{name, text}}); });
        EXPECT_TRUE(holds(message, name + "='" + text + "'"));
        EXPECT_TRUE(end == refused.size() || message == name + "='" + refused.substr(at + 1))
            << message;
    }
    EXPECT_TRUE(contains(errorMessage([] { optionsOf({"--bogus"}, {}); }), "unknown option"));
}
