#pragma once
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fmt/printf.h>
#include <functional>
#include <glm/geometric.hpp>
#include <glm/mat3x3.hpp>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "base/file_util.h"
#include "base/log.h"
#include "imageio/image.h"

// From the matrices' distance: unlike an angle from the trace, exact for small angles in floats.
double degreesApart(const glm::mat3& one, const glm::mat3& other);

namespace fs = std::filesystem;

struct RunResult {
    int status = -1;  // -1 when it did not exit normally
    std::string out, err;
};

RunResult runCommand(const std::string& command,
                     const std::map<std::string, std::string>& env = {});

RunResult runKorvel(const std::string& args, const std::map<std::string, std::string>& env = {});

// The message of the runtime_error that f throws, or "no error".
std::string errorMessage(const std::function<void()>& f);

std::string stderrOf(const std::function<void()>& f);

std::string stdoutOf(const std::function<void()>& f);

inline std::string q(const fs::path& path) {
    return shellQuote(path.string());
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// For EXPECT_TRUE: a failure shows the whole text.
inline testing::AssertionResult holds(const std::string& text, const std::string& part) {
    if (contains(text, part)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "no '" << part << "' in:\n" << text;
}

std::vector<double> jsonNumbers(const std::string& json, const std::string& key);

fs::path makeTempDir();

struct TempDir {
    fs::path path = makeTempDir();
    ~TempDir() { fs::remove_all(path); }
    fs::path operator/(const fs::path& name) const { return path / name; }
};

fs::path writeFile(const fs::path& file, const std::string& text);

std::string readFile(const fs::path& file);

template <class T>
RgbPixel<T> grey(T v) {
    return {v, v, v};
}

template <class F>
auto makeImage(int w, int h, F f) {
    Image<decltype(f(0, 0))> img(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) img.at(x, y) = f(x, y);
    return img;
}

// Same size and the same bytes, row by row.
template <class T>
bool sameBits(const ImageView<T>& a, const ImageView<T>& b) {
    bool same = a.width == b.width && a.height == b.height;
    for (int y = 0; same && y < a.height; ++y)
        same = !std::memcmp(a.row(y), b.row(y), sizeof(T) * size_t(a.width));
    return same;
}

// The folder of shared test rigs, or an empty path when it is not there.
fs::path sharedDir();

// rig.pts copied so a test may change it, other projects left out, the rest linked.
void copyRig(const fs::path& from, const fs::path& to);

// Under KORVEL_REQUIRE_ALL (CI) a skip would hide a check, so the test fails instead.
#define REQUIRE_THAT(present, what)                                                   \
    do {                                                                              \
        if (present) break;                                                           \
        if (std::getenv("KORVEL_REQUIRE_ALL")) GTEST_FAIL() << "missing: " << (what); \
        GTEST_SKIP() << "missing: " << (what);                                        \
    } while (0)

#define REQUIRE_SHARED() REQUIRE_THAT(!sharedDir().empty(), "../shared test data")

bool commandsInstalled(const std::string& names);

inline std::string logOf(const std::function<void()>& f) {
    std::string s;
    LogCapture capture(s);
    f();
    return s;
}
