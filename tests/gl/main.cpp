// Entry point of the GL tests: one hidden context for the whole run.
#include <QApplication>
#include <clocale>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

#include "glcontext.h"
#include "glfixture.h"

namespace {
bool available = false;

// Qt ends the process when it finds no display; the GL tests skip instead.
bool haveDisplay() {
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") ||
           std::getenv("QT_QPA_PLATFORM");
}
}  // namespace

bool glAvailable() {
    return available;
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests) || !haveDisplay()) return RUN_ALL_TESTS();
    myContextInit();
    QApplication app(argc, argv);
    std::setlocale(LC_ALL, "C");
    std::unique_ptr<QtContext> context = showHiddenContext();
    available = context->isValid();
    return RUN_ALL_TESTS();
}
