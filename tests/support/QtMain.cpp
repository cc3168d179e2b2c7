#include "support/QtSupport.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>

namespace kelmor::test {

bool spinUntil(const std::function<bool()>& condition, int timeoutMs) {
    if (condition())
        return true;
    // A real event loop, as the program runs it: it sleeps until something
    // happens, and the condition is looked at every millisecond.
    QEventLoop loop;
    bool met = false;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (condition()) {
            met = true;
            loop.quit();
        }
    });
    check.start(1);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return met || condition();
}

void spinFor(int ms) {
    // A real event loop that sleeps when idle, so that CPU use measured
    // meanwhile is the program's own.
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace kelmor::test

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
