#include "exposure.h"

#include <gtest/gtest.h>

#include <sstream>

#include "globals.h"
#include "testutil.h"

// Image 0 is exactly 0 whatever the observations say; unknown images are named and written as 0.
TEST(ExposureSolve, OneValuePerImageRelativeToImage0) {
    struct Case {
        std::vector<exposure_t> entries;
        int images;
        std::vector<double> values;
        std::string untied;  // the images the report names, "" for no report
    } cases[] = {
        {{{0, 1, 2.0}, {1, 2, 2.0}, {0, 2, 4.0}}, 0, {0, -1, -2}, ""},
        // Images 2 and 3 are only related to each other, image 4 to nothing.
        {{{0, 1, 2.0}, {2, 3, 4.0}, {1, 5, 0.5}, {3, 2, 0.25}}, 0, {0, -1, 0, 0, 0, 0}, "2, 3, 4"},
        // A placeholder ratio ties nothing; the rig's size counts even without observations.
        {{{0, 1, 2.0, false}, {0, 2, 0.5}}, 4, {0, 0, 1, 0}, "1, 3"},
    };
    for (const Case& c : cases) {
        exposure = c.entries;
        std::string text,
            err = stderrOf([&] { text = logOf([&] { calcExposureVariation(c.images); }); });
        std::string report = "exposure: no chain of measured pairs ties image(s) " + c.untied +
                             " to image 0; their values are unknown and written as 0\n";
        EXPECT_EQ(err, c.untied.empty() ? "" : report);
        EXPECT_EQ(text.substr(err.size(), 15), "ExposureParams ");
        std::istringstream in(text.substr(err.size() + 15));
        std::vector<double> values;
        for (double v; in >> v;) values.push_back(v);
        EXPECT_EQ(values, c.values);
        EXPECT_FALSE(contains(text, "-0.000000")) << text;
    }
    exposure.clear();
}
