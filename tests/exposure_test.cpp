#include "exposure.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "globals.h"
#include "logcapture.h"

namespace ublas = boost::numeric::ublas;

namespace {

const char* kFailure =
    "failed so solve linear system in automatic exposure variation compensation\n";

class ExposureSolve : public testing::Test {
protected:
    void SetUp() override { exposure.clear(); }
    void TearDown() override { exposure.clear(); }

    // Runs the solve and returns the log; values receives the numbers of its result line.
    std::string solve(std::vector<double>& values) {
        LogCapture log;
        calcExposureVariation();
        std::string text = log.text();
        size_t line = text.rfind("ExposureParams ");
        EXPECT_NE(line, std::string::npos) << text;
        EXPECT_EQ(text.back(), '\n');
        std::istringstream in(text.substr(line + 15));
        values.clear();
        for (double v; in >> v;) values.push_back(v);
        return text;
    }

    // The result line's value k as printed.
    static std::string printed(const std::string& text, size_t k) {
        std::istringstream in(text.substr(text.rfind("ExposureParams ") + 15));
        std::string word;
        for (size_t i = 0; i <= k; ++i) in >> word;
        return word;
    }
};

}  // namespace

TEST_F(ExposureSolve, EmptyListGivesOneNeutralValue) {
    std::vector<double> values;
    EXPECT_EQ(solve(values), "ExposureParams -0.000000 \n");
}

TEST_F(ExposureSolve, OnePairTwiceAsBright) {
    exposure.push_back({0, 1, 2.0});
    std::vector<double> values;
    std::string text = solve(values);
    EXPECT_TRUE(text == "ExposureParams -0.000000 -1.000000 \n" ||
                text == "ExposureParams 0.000000 -1.000000 \n")
        << text;
}

TEST_F(ExposureSolve, ConsistentChainOfThree) {
    exposure = {{0, 1, 2.0}, {1, 2, 2.0}, {0, 2, 4.0}};
    std::vector<double> values;
    solve(values);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_NEAR(values[0], 0.0, 1e-6);
    EXPECT_NEAR(values[1], -1.0, 1e-6);
    EXPECT_NEAR(values[2], -2.0, 1e-6);
}

TEST_F(ExposureSolve, ContradictionsAreReconciledByLeastSquares) {
    // x0 = 1, 2 x0 - x1 = 0, 2 x1 - x0 = 0: normal equations [6 -4; -4 5] x = (1, 0)
    // give x = (5/14, 4/14).
    exposure = {{0, 1, 2.0}, {1, 0, 2.0}};
    std::vector<double> values;
    solve(values);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_NEAR(values[0], -std::log2(5.0 / 14.0), 1e-6);
    EXPECT_NEAR(values[1], -std::log2(4.0 / 14.0), 1e-6);
}

TEST_F(ExposureSolve, SelfPairLeavesMinusOne) {
    // A(1, 0) is first set to the ratio, then overwritten by -1: -x0 = 0 against x0 = 1.
    exposure = {{0, 0, 3.0}};
    std::vector<double> values;
    solve(values);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_NEAR(values[0], 1.0, 1e-6);  // x0 = 1/2
}

TEST_F(ExposureSolve, UnobservedImageKeepsTheLineComplete) {
    // Image 1 takes part in no pair: the full system is singular.
    exposure = {{0, 2, 1.5}};
    std::vector<double> values;
    std::string text = solve(values);
    EXPECT_NE(text.find(kFailure), std::string::npos) << text;
    EXPECT_EQ(text.find(kFailure), text.rfind(kFailure)) << "one failure, one message";
    EXPECT_LT(text.find(kFailure), text.find("ExposureParams "));
    ASSERT_EQ(values.size(), 3u) << text;
    EXPECT_NEAR(values[0], 0.0, 1e-6);
    EXPECT_EQ(printed(text, 1), "-0.000000");  // no change
    EXPECT_NEAR(values[2], -std::log2(1.5), 1e-6);
}

TEST_F(ExposureSolve, GroupDetachedFromImageZeroStaysUnchanged) {
    // Images 2 and 3 are only related to each other, image 4 to nothing.
    exposure = {{0, 1, 2.0}, {2, 3, 4.0}, {1, 5, 0.5}, {3, 2, 0.25}};
    std::vector<double> values;
    std::string text = solve(values);
    EXPECT_NE(text.find(kFailure), std::string::npos) << text;
    ASSERT_EQ(values.size(), 6u) << text;
    EXPECT_NEAR(values[0], 0.0, 1e-6);
    EXPECT_NEAR(values[1], -1.0, 1e-6);
    for (size_t k : {2, 3, 4}) EXPECT_EQ(printed(text, k), "-0.000000") << k;
    EXPECT_NEAR(values[5], 0.0, 1e-6);  // tied to image 0 through image 1
}

TEST(SolveLinearSystem, LeastSquaresLine) {
    // y = 1 + 2 t sampled without noise at t = 0..4, plus a row that pulls it off.
    ublas::matrix<double> A(6, 2);
    ublas::vector<double> b(6);
    for (int t = 0; t < 5; ++t) {
        A(t, 0) = 1;
        A(t, 1) = t;
        b(t) = 1 + 2 * t;
    }
    A(5, 0) = 1;
    A(5, 1) = 2;
    b(5) = 5 + 6;
    // Normal equations [6 12; 12 34] x = (36, 92), solved by hand: x = (2, 2).
    ublas::vector<double> x = solveLinearSystem(A, b);
    ASSERT_EQ(x.size(), 2u);
    EXPECT_NEAR(x(0), 2.0, 1e-12);
    EXPECT_NEAR(x(1), 2.0, 1e-12);
}

TEST(SolveLinearSystem, SingularSystemLogsAndGivesOne) {
    ublas::matrix<double> A(2, 3);
    A.clear();
    A(0, 0) = 1;
    A(1, 1) = 1;
    ublas::vector<double> b(2);
    b(0) = 3;
    b(1) = 4;
    LogCapture log;
    ublas::vector<double> x = solveLinearSystem(A, b);
    ASSERT_EQ(x.size(), 1u);
    EXPECT_EQ(x(0), 1.0);
    EXPECT_EQ(log.text(), kFailure);
}
