// JPEG, PPM and raw-preview readers, the dispatch hash and the program lookup.
#include <cstdlib>
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <memory>
#include <sys/stat.h>

#include "fileutil.h"
#include "imagefiles.h"
#include "readers.h"
#include "testutil.h"

namespace {
// Number of open file descriptors of this process.
size_t openFiles() {
    size_t n = 0;
    for (auto& entry : fs::directory_iterator("/proc/self/fd")) n += entry.exists() ? 1 : 0;
    return n;
}

void makeExecutable(const fs::path& file, const std::string& script) {
    writeFile(file, script);
    fs::permissions(file, fs::perms::owner_all);
}
}  // namespace

TEST(Hash, DispatchValuesOfTheExtensions) {
    EXPECT_EQ(hash("cr2", 0), 193358022);
    EXPECT_EQ(hash("jpg", 0), 193412312);
    EXPECT_EQ(hash("jpeg", 0), 2087625341);
    EXPECT_EQ(hash("hdr", 0), 193432411);
    EXPECT_EQ(hash("", 0), 5381);
    EXPECT_EQ(hash("xjpg", 1), hash("jpg", 0));
    // Characters above 127 count as negative: 5381 * 33 ^ -23.
    EXPECT_EQ(hash("\xe9", 0), int32_t(177573u ^ 0xffffffe9u));
}

class JpegFiles : public ::testing::Test {
protected:
    fs::path dir = makeTempDir();
    void TearDown() override { fs::remove_all(dir); }
};

TEST_F(JpegFiles, DecodesRgbTopRowFirst) {
    Image<RgbPixel<uint8_t>> picture = gradient(61, 37);
    fs::path file = writeFile(dir / "a.jpg", jpegBytes(picture.data, 61, 37, 3, 100));
    Image<RgbPixel<unsigned char>> image = readJPEG(file);
    ASSERT_EQ(image.width, 61);
    ASSERT_EQ(image.height, 37);
    EXPECT_TRUE(image.contiguous());
    int worst = 0;
    for (int y = 0; y < 37; ++y)
        for (int x = 0; x < 61; ++x) {
            const auto &a = image.at(x, y), &b = picture.at(x, y);
            worst =
                std::max({worst, std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
        }
    EXPECT_LE(worst, 6);
}

TEST_F(JpegFiles, DecodesFromAnyLibjpegSource) {
    Image<RgbPixel<uint8_t>> picture = gradient(16, 8);
    std::string bytes = jpegBytes(picture.data, 16, 8, 3, 90);
    Image<RgbPixel<unsigned char>> image = readJPEG([&](jpeg_decompress_struct* cinfo) {
        jpeg_mem_src(cinfo, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    });
    EXPECT_EQ(image.width, 16);
    EXPECT_EQ(image.height, 8);
    EXPECT_THROW(readJPEG(std::function<void(jpeg_decompress_struct*)>()), std::bad_function_call);
}

TEST_F(JpegFiles, RefusesGreyscale) {
    std::vector<uint8_t> grey(20 * 10, 128);
    fs::path file = writeFile(dir / "grey.jpg", jpegBytes(grey.data(), 20, 10, 1, 90));
    EXPECT_EQ(errorMessage([&] { readJPEG(file); }),
              "can not open JPEG with color format other than RGB");
}

TEST_F(JpegFiles, CorruptAndTruncatedFilesThrowAndCloseTheFile) {
    Image<RgbPixel<uint8_t>> picture = gradient(64, 64);
    std::string good = jpegBytes(picture.data, 64, 64, 3, 90);
    struct Case {
        std::string bytes, message;
    } cases[] = {
        {"this is no JPEG at all", "Not a JPEG file"},
        {good.substr(0, 200), "Premature end of JPEG file"},              // inside the header
        {good.substr(0, good.size() / 2), "Premature end of JPEG file"},  // inside the data
        {"", "Empty input file"},
    };
    size_t before = openFiles();
    for (const Case& c : cases) {
        fs::path file = writeFile(dir / "it's bad.jpg", c.bytes);
        std::string message = errorMessage([&] { readJPEG(file); });
        SCOPED_TRACE(message);
        EXPECT_EQ(message.rfind("Failed to decode JPEG file '" + quoted(file) + "': ", 0), 0u);
        EXPECT_NE(message.find(c.message), std::string::npos);
        EXPECT_EQ(openFiles(), before);
    }
    fs::path missing = dir / "missing.jpg";
    EXPECT_EQ(
        errorMessage([&] { readJPEG(missing); }),
        "Error opening file '" + quoted(missing) + "' (with mode 'rb'): No such file or directory");
}

TEST(Pnm, ReadsBinaryPpm) {
    std::string bytes = "P6\n3 2\n255\n";
    for (int i = 0; i < 18; ++i) bytes += char(i * 10);
    FILE* f = fmemopen(bytes.data(), bytes.size(), "rb");
    Image<RgbPixel<unsigned char>> image = readPNM<unsigned char>(f);
    fclose(f);
    ASSERT_EQ(image.width, 3);
    ASSERT_EQ(image.height, 2);
    EXPECT_EQ(image.at(0, 0).r, 0);
    EXPECT_EQ(image.at(2, 0).b, 80);
    EXPECT_EQ(image.at(0, 1).r, 90);
    EXPECT_EQ(image.at(2, 1).b, 170);
}

TEST(Pnm, HeaderAndDataErrors) {
    auto read = [](std::string bytes) {
        return errorMessage([&] {
            // fmemopen refuses an empty buffer.
            std::unique_ptr<FILE, int (*)(FILE*)> f(
                bytes.empty() ? fopen("/dev/null", "rb")
                              : fmemopen(bytes.data(), bytes.size(), "rb"),
                fclose);
            readPNM<unsigned char>(f.get());
        });
    };
    EXPECT_EQ(read(""), "Failed to parse PNM file header.");
    EXPECT_EQ(read("P5\n3 2\n255\n"), "Failed to parse PNM file header.");
    EXPECT_EQ(read("P6\n3 2\n"), "Failed to parse PNM file header.");
    EXPECT_EQ(read("P6\n3 2\n65535\n"), "PNM file has wrong max value: 65535");
    EXPECT_EQ(read("P6\n2 2\n255\nabcde"), "Failed to read PNM file data: 5 != 12 -> 1");
    // A comment line is not understood.
    EXPECT_EQ(read("P6\n# c\n2 2\n255\n"), "Failed to parse PNM file header.");
}

TEST(FindProgram, BesideTheExecutableFirstThenPath) {
    fs::path root = makeTempDir();
    fs::create_directories(root / "exe");
    fs::create_directories(root / "a");
    fs::create_directories(root / "b");
    makeExecutable(root / "b" / "tool", "#!/bin/sh\n");
    std::string path = (root / "a").string() + ":" + (root / "b").string();
    EXPECT_EQ(findProgram("tool", (root / "exe").string() + "/", path), (root / "b/tool").string());
    // Not executable: skipped.
    writeFile(root / "a" / "tool", "#!/bin/sh\n");
    EXPECT_EQ(findProgram("tool", (root / "exe").string(), path), (root / "b/tool").string());
    makeExecutable(root / "a" / "tool", "#!/bin/sh\n");
    EXPECT_EQ(findProgram("tool", (root / "exe").string(), path), (root / "a/tool").string());
    makeExecutable(root / "exe" / "tool", "#!/bin/sh\n");
    EXPECT_EQ(findProgram("tool", (root / "exe").string() + "/", path),
              (root / "exe/tool").string());
    EXPECT_EQ(errorMessage([&] { findProgram("dcraw", (root / "b").string(), path); }),
              "Cannot find the program 'dcraw' beside the executable or on PATH");
    fs::remove_all(root);
}

// Puts a fake dcraw and djpeg first on PATH for one test (nothing lies beside the test
// executable): dcraw logs its arguments and writes the "raw" file itself, djpeg passes it on.
class FakeRawTools : public ::testing::Test {
protected:
    fs::path dir = makeTempDir();
    std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";

    void SetUp() override {
        fs::create_directories(dir / "bin");
        makeExecutable(dir / "bin" / "dcraw",
                       "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " +
                           shellQuote((dir / "args").string()) + "\ncat -- \"$3\"\n");
        makeExecutable(dir / "bin" / "djpeg", "#!/bin/sh\ncat\n");
        setenv("PATH", ((dir / "bin").string() + ":" + oldPath).c_str(), 1);
    }
    void TearDown() override {
        setenv("PATH", oldPath.c_str(), 1);
        fs::remove_all(dir);
    }
};

TEST_F(FakeRawTools, PathReachesDcrawAsOneArgument) {
    std::string ppm = "P6\n2 1\n255\n" + std::string("\x01\x02\x03\x04\x05\x06", 6);
    for (std::string name :
         {"it's a raw.cr2", "$(touch pwned)`touch pwned2`;\"x\" \\.cr2", "-starts-with-dash.cr2"}) {
        SCOPED_TRACE(name);
        fs::path file = writeFile(dir / name, ppm);
        Image<RgbPixel<unsigned char>> image = readCr2Thumbnail(file);
        EXPECT_EQ(image.width, 2);
        EXPECT_EQ(image.at(1, 0).b, 6);
        EXPECT_EQ(readFile(dir / "args"), "-e\n-c\n" + file.string() + "\n");
        // A relative name that starts with a dash is not taken for an option.
        fs::path cwd = fs::current_path();
        fs::current_path(dir);
        image = readCr2Thumbnail(name);
        fs::current_path(cwd);
        EXPECT_EQ(image.width, 2);
    }
    EXPECT_FALSE(fs::exists(dir / "pwned"));
    EXPECT_FALSE(fs::exists(fs::current_path() / "pwned"));
    EXPECT_FALSE(fs::exists(fs::current_path() / "pwned2"));
}

TEST_F(FakeRawTools, BadPreviewsReportThePpmProblem) {
    EXPECT_EQ(errorMessage([&] { readCr2Thumbnail(writeFile(dir / "empty.cr2", "")); }),
              "Failed to parse PNM file header.");
    EXPECT_EQ(
        errorMessage([&] { readCr2Thumbnail(writeFile(dir / "deep.cr2", "P6\n1 1\n65535\n")); }),
        "PNM file has wrong max value: 65535");
    EXPECT_EQ(
        errorMessage([&] { readCr2Thumbnail(writeFile(dir / "short.cr2", "P6\n2 2\n255\nab")); }),
        "Failed to read PNM file data: 2 != 12 -> 1");
    // The missing file makes the fake dcraw fail and write nothing.
    EXPECT_EQ(errorMessage([&] { readCr2Thumbnail(dir / "missing.cr2"); }),
              "Failed to parse PNM file header.");
}

TEST_F(FakeRawTools, MissingProgramIsNamed) {
    fs::remove(dir / "bin" / "djpeg");
    setenv("PATH", (dir / "bin").string().c_str(), 1);
    EXPECT_EQ(errorMessage([&] { readCr2Thumbnail(dir / "x.cr2"); }),
              "Cannot find the program 'djpeg' beside the executable or on PATH");
    setenv("PATH", "", 1);
    EXPECT_EQ(errorMessage([&] { readCr2Thumbnail(dir / "x.cr2"); }),
              "Cannot find the program 'dcraw' beside the executable or on PATH");
}

TEST(RawPreview, SampleThroughRealDcrawAndDjpeg) {
    REQUIRE_SHARED();
    const char* path = std::getenv("PATH");
    try {
        findProgram("dcraw", exeDir(""), path ? path : "");
        findProgram("djpeg", exeDir(""), path ? path : "");
    } catch (const std::runtime_error& e) {
        GTEST_SKIP() << e.what();
    }
    Image<RgbPixel<unsigned char>> image = readCr2Thumbnail(sharedDir() / "raw" / "IMG_0001.CR2");
    EXPECT_EQ(image.width, 120);
    EXPECT_EQ(image.height, 160);
    // A photograph, not a flat fill.
    int lo = 255, hi = 0;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            lo = std::min<int>(lo, image.at(x, y).g);
            hi = std::max<int>(hi, image.at(x, y).g);
        }
    EXPECT_GT(hi - lo, 50);
}
