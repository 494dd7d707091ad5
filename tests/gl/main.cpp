// Entry point of the GL tests: one hidden context for the whole run.
#include <QApplication>
#include <clocale>
#include <gtest/gtest.h>
#include <memory>

#include "glcontext.h"
#include "glfixture.h"

namespace {
bool available = false;
}

bool glAvailable() {
    return available;
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    myContextInit();
    QApplication app(argc, argv);
    std::setlocale(LC_ALL, "C");
    std::unique_ptr<QtContext> context(new QtContext());
    context->setAttribute(Qt::WA_ShowWithoutActivating, true);
    context->setAttribute(Qt::WA_DontShowOnScreen, true);
    context->show();
    available = context->isValid();
    return RUN_ALL_TESTS();
}
