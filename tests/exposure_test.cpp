#include "exposure.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "globals.h"
#include "logcapture.h"

namespace {

const std::string kFailure =
    "failed so solve linear system in automatic exposure variation compensation\n";

class ExposureSolve : public testing::Test {
protected:
    void SetUp() override { exposure.clear(); }
    void TearDown() override { exposure.clear(); }
};

}  // namespace

// Expected values of NaN must be printed as "-0.000000": images the solve leaves unchanged.
TEST_F(ExposureSolve, OneValuePerImage) {
    const double unchanged = NAN;
    struct Case {
        std::vector<exposure_t> entries;
        std::vector<double> values;
        bool failure;
    } cases[] = {
        {{}, {unchanged}, false},
        {{{0, 1, 2.0}}, {0, -1}, false},
        {{{0, 1, 2.0}, {1, 2, 2.0}, {0, 2, 4.0}}, {0, -1, -2}, false},
        // x0 = 1, 2 x0 - x1 = 0, 2 x1 - x0 = 0: normal equations [6 -4; -4 5] x = (1, 0)
        // give x = (5/14, 4/14).
        {{{0, 1, 2.0}, {1, 0, 2.0}}, {-std::log2(5.0 / 14), -std::log2(4.0 / 14)}, false},
        // A self pair sets A(1, 0) to the ratio, then to -1: -x0 = 0 against x0 = 1.
        {{{0, 0, 3.0}}, {1}, false},
        // Image 1 takes part in no pair: the full system is singular, the rest is solved.
        {{{0, 2, 1.5}}, {0, unchanged, -std::log2(1.5)}, true},
        // Images 2 and 3 are only related to each other, image 4 to nothing.
        {{{0, 1, 2.0}, {2, 3, 4.0}, {1, 5, 0.5}, {3, 2, 0.25}},
         {0, -1, unchanged, unchanged, unchanged, 0},
         true},
    };
    for (const Case& c : cases) {
        exposure = c.entries;
        std::string text = logOf(calcExposureVariation);
        SCOPED_TRACE(text);
        size_t line = text.find("ExposureParams ");
        ASSERT_NE(line, std::string::npos);
        EXPECT_EQ(text.substr(0, line), c.failure ? kFailure : "");  // one failure, one message
        std::istringstream in(text.substr(line + 15));
        std::vector<std::string> words;
        for (std::string w; in >> w;) words.push_back(w);
        EXPECT_EQ(text.substr(text.size() - 2), " \n");
        ASSERT_EQ(words.size(), c.values.size());
        for (size_t k = 0; k < words.size(); ++k) {
            double v = c.values[k];
            EXPECT_TRUE(std::isnan(v) ? words[k] == "-0.000000"
                                      : std::abs(std::stod(words[k]) - v) <= 1e-6)
                << k << ": " << words[k];
        }
    }
}
