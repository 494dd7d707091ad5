#include "exposure.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "globals.h"
#include "testutil.h"

namespace {

class ExposureSolve : public testing::Test {
protected:
    void SetUp() override { exposure.clear(); }
    void TearDown() override { exposure.clear(); }
};

}  // namespace

// Image 0 is exactly 0 whatever the observations say; unknown images are named and written as 0.
TEST_F(ExposureSolve, OneValuePerImageRelativeToImage0) {
    struct Case {
        std::vector<exposure_t> entries;
        int images;
        std::vector<double> values;
        std::string untied;  // the images the report names, "" for no report
    } cases[] = {
        {{}, 0, {0}, ""},
        {{{0, 1, 2.0}}, 0, {0, -1}, ""},
        {{{0, 1, 2.0}, {1, 2, 2.0}, {0, 2, 4.0}}, 0, {0, -1, -2}, ""},
        // Contradicting ratios average in stops and leave image 0 alone.
        {{{0, 1, 2.0}, {1, 0, 2.0}}, 0, {0, 0}, ""},
        // y1 = 1, y2 - y1 = 1, y2 = 1: y = (2/3, 4/3).
        {{{0, 1, 2.0}, {1, 2, 2.0}, {0, 2, 2.0}}, 0, {0, -2.0 / 3, -4.0 / 3}, ""},
        // A self pair says nothing.
        {{{0, 0, 3.0}}, 0, {0}, ""},
        {{{0, 2, 1.5}}, 0, {0, 0, -std::log2(1.5)}, "1"},
        // Images 2 and 3 are only related to each other, image 4 to nothing.
        {{{0, 1, 2.0}, {2, 3, 4.0}, {1, 5, 0.5}, {3, 2, 0.25}}, 0, {0, -1, 0, 0, 0, 0}, "2, 3, 4"},
        // A placeholder ratio ties nothing; the rig's size counts even without observations.
        {{{0, 1, 2.0, false}, {0, 2, 0.5}}, 4, {0, 0, 1, 0}, "1, 3"},
    };
    for (const Case& c : cases) {
        exposure = c.entries;
        std::string text,
            err = stderrOf([&] { text = logOf([&] { calcExposureVariation(c.images); }); });
        SCOPED_TRACE(text);
        size_t line = text.find("ExposureParams ");
        ASSERT_NE(line, std::string::npos);
        std::string report =
            c.untied.empty() ? ""
                             : "exposure: no chain of measured pairs ties image(s) " + c.untied +
                                   " to image 0; their values are unknown and written as 0\n";
        EXPECT_EQ(text.substr(0, line), report);
        EXPECT_EQ(err, report);
        std::istringstream in(text.substr(line + 15));
        std::vector<std::string> words;
        for (std::string w; in >> w;) words.push_back(w);
        EXPECT_EQ(text.substr(text.size() - 2), " \n");
        ASSERT_EQ(words.size(), c.values.size());
        EXPECT_EQ(words[0], "0.000000");
        for (size_t k = 0; k < words.size(); ++k)
            EXPECT_NEAR(std::stod(words[k]), c.values[k], 1e-6) << k << ": " << words[k];
    }
}
